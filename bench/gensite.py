#!/usr/bin/env python3
"""Writes a synthetic website for the engine benchmarks.

Pages live in ten directories; links are relative, as most sites write them. Every page links to the next few pages, to a page in another
directory and to some images, so that the whole site is reachable from index.html. Sizes and
contents are fixed by the seed, so runs compare like with like.

With --modern the site is written the way sites of today are, for the check that a copy browses
from disk: links are also root-relative, absolute and protocol-relative to www.site.test, point
at folders, carry queries and fragments; images come through srcset, <picture>, data-src, poster,
style attributes and <style> blocks; a stylesheet imports another and loads a web font.
"""
import argparse
import os
import random


def page_path(i):
    return f"section{i % 10}/page{i}.html"


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


SITE = "www.site.test"
# Every spelling a page of today may use for the same target below the site root.
LINK_FORMS = ("../{}", "/{}", "http://" + SITE + "/{}", "//" + SITE + "/{}")
IMAGE_KINDS = (("gif", b"GIF89a"), ("png", b"\x89PNG\r\n\x1a\n"), ("jpg", b"\xff\xd8\xff\xe0"),
               ("webp", b"RIFF\x00\x00\x00\x00WEBPVP8 "))
BACKGROUNDS = ("bg-body", "bg-header", "bg-border", "bg-print")


class ModernPage:
    """Picks targets and spellings for one page of the modern site from the shared generator."""

    def __init__(self, rng, images):
        self.rng = rng
        self.images = images

    def ref(self, target):
        """target (a path below the site root) in one of the spellings, as seen from a section."""
        return self.rng.choice(LINK_FORMS).format(target)

    def image(self, kind):
        """Path of a random image of the given extension; image N has extension N mod 4."""
        index = [name for name, _ in IMAGE_KINDS].index(kind)
        count = (self.images - index + len(IMAGE_KINDS) - 1) // len(IMAGE_KINDS)
        return f"images/img{self.rng.randrange(count) * len(IMAGE_KINDS) + index}.{kind}"


def modern_page_html(i, pages, images, rng, filler):
    page = ModernPage(rng, images)
    stylesheet = ("../css/site.css", "/css/site.css", "../css/site.css?v=2",
                  f"http://{SITE}/css/site.css", f"//{SITE}/css/site.css")[i % 5]
    first, second = page.image("png"), page.image("png")
    section = rng.randrange(10)
    parts = [
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">",
        f"<title>Page {i}</title>",
        '<link rel="icon" href="/favicon.ico">',
        f'<link rel="stylesheet" href="{stylesheet}">',
        f'<script src="{page.ref("js/site.js")}"></script>',
        f'<style>.hero {{ background-image: url("{page.ref(page.image("png"))}"); }}</style>',
        '</head><body id="top">',
        f'<p><a href="#top">top</a> <a href="../index.html">home</a> <a href="/">site</a> '
        f'<a href="../section{section}/">section {section}</a></p>',
        # The next page is always relative, so that every page is reachable by any copier.
        f'<a href="../{page_path((i + 1) % pages)}">page {(i + 1) % pages}</a>',
    ]
    for target in ((i + 2) % pages, (i + 3) % pages):
        parts.append(f'<a href="{page.ref(page_path(target))}">page {target}</a>')
    target = rng.randrange(pages)
    parts += [
        f'<a href="{page.ref(page_path(target))}#top">page {target}, top</a>',
        f'<img src="{page.ref(page.image("gif"))}" alt="">',
        f'<img src="{page.ref(first)}" srcset="{page.ref(first)} 1x, {page.ref(second)} 2x" alt="">',
        f'<picture><source srcset="{page.ref(page.image("webp"))}" type="image/webp">'
        f'<img src="{page.ref(page.image("jpg"))}" alt=""></picture>',
        f'<img src="{page.ref(page.image("gif"))}" data-src="{page.ref(page.image("png"))}" '
        'class="lazy" alt="">',
        f'<video controls poster="{page.ref(page.image("jpg"))}"></video>',
        f'<div class="tile" style="background:url({page.ref(page.image("png"))})">tile</div>',
        '<p><a href="https://example.org/">elsewhere</a> '
        '<a href="mailto:webmaster@site.test">mail</a></p>',
        f"<p>{filler[: rng.randrange(1000, len(filler))]}</p></body></html>\n",
    ]
    return "\n".join(parts).encode()


def write_modern_site(args, rng):
    filler = "Lorem ipsum dolor sit amet, consectetur adipiscing elit. " * 40
    for i in range(args.pages):
        write(os.path.join(args.root, page_path(i)), modern_page_html(i, args.pages, args.images, rng, filler))

    for section in range(10):
        parts = ["<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">",
                 f"<title>Section {section}</title>",
                 '<link rel="stylesheet" href="../css/site.css"></head><body>',
                 '<p><a href="../">site</a> <a href="../index.html">home</a></p>']
        parts += [f'<a href="page{i}.html">page {i}</a>' for i in range(section, args.pages, 10)]
        parts.append("</body></html>\n")
        write(os.path.join(args.root, f"section{section}", "index.html"), "\n".join(parts).encode())

    index = ["<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Benchmark site</title>",
             '<link rel="icon" href="favicon.ico"><link rel="stylesheet" href="css/site.css">',
             "</head><body><h1>Benchmark site</h1>", f'<a href="{page_path(0)}">first</a>']
    index += [f'<a href="section{section}/">section {section}</a>' for section in range(10)]
    index.append("</body></html>\n")
    write(os.path.join(args.root, "index.html"), "\n".join(index).encode())

    stylesheets = {
        "site.css": '@import "theme.css";\n'
                    '@font-face { font-family: "Body"; src: url("../fonts/body.woff2") format("woff2"); }\n'
                    "body { font-family: Body, sans-serif; background: url(../images/bg-body.png) repeat; }\n"
                    ".header { background-image: url('/images/bg-header.png'); }\n",
        "theme.css": "@import url(print.css) print;\n"
                     '.hero { border-image: url("../images/bg-border.png") 30 round; }\n',
        "print.css": "body { background: url( ../images/bg-print.png ); }\n",
    }
    for name, text in stylesheets.items():
        write(os.path.join(args.root, "css", name), text.encode())
    write(os.path.join(args.root, "js", "site.js"),
          b"document.querySelectorAll('img.lazy').forEach(i => { i.src = i.dataset.src; });\n")

    for i in range(args.images):
        kind, magic = IMAGE_KINDS[i % len(IMAGE_KINDS)]
        write(os.path.join(args.root, f"images/img{i}.{kind}"), magic + rng.randbytes(rng.randrange(2000, 12000)))
    for name in BACKGROUNDS:
        write(os.path.join(args.root, f"images/{name}.png"), dict(IMAGE_KINDS)["png"] + rng.randbytes(3000))
    write(os.path.join(args.root, "fonts", "body.woff2"), b"wOF2" + rng.randbytes(20000))
    write(os.path.join(args.root, "favicon.ico"), b"\x00\x00\x01\x00" + rng.randbytes(1000))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("root")
    parser.add_argument("--pages", type=int, default=2000)
    parser.add_argument("--images", type=int, default=500)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--big-file-mb", type=int, default=0,
                        help="also write big.bin of this many MiB, linked from index.html")
    parser.add_argument("--modern", action="store_true",
                        help="write the site with the links and resources of sites of today")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    if args.modern:
        if args.images < len(IMAGE_KINDS) or args.big_file_mb:
            parser.error(f"--modern needs --images {len(IMAGE_KINDS)} or more and no --big-file-mb")
        write_modern_site(args, rng)
        return

    filler = ("Lorem ipsum dolor sit amet, consectetur adipiscing elit. " * 40).encode()
    for i in range(args.pages):
        links = [(i + k) % args.pages for k in (1, 2, 3)] + [rng.randrange(args.pages)]
        images = [rng.randrange(args.images) for _ in range(2)] if args.images else []
        body = [b"<html><head><title>Page %d</title></head><body>" % i]
        for target in links:
            body.append(b'<a href="../%s">page %d</a>\n' % (page_path(target).encode(), target))
        for image in images:
            body.append(b'<img src="../images/img%d.gif">\n' % image)
        body.append(b"<p>" + filler[: rng.randrange(1000, len(filler))] + b"</p></body></html>\n")
        write(os.path.join(args.root, page_path(i)), b"".join(body))

    for i in range(args.images):
        write(os.path.join(args.root, f"images/img{i}.gif"),
              b"GIF89a" + rng.randbytes(rng.randrange(2000, 12000)))

    index = [b"<html><body><h1>Benchmark site</h1>"]
    index.append(b'<a href="%s">first</a>\n' % page_path(0).encode())
    if args.big_file_mb:
        index.append(b'<a href="big.zip">big</a>\n')
        chunk = rng.randbytes(1 << 20)
        with open(os.path.join(args.root, "big.zip"), "wb") as f:
            for _ in range(args.big_file_mb):
                f.write(chunk)
    index.append(b"</body></html>\n")
    write(os.path.join(args.root, "index.html"), b"".join(index))


def write_served_modern_site(root, address, pages, images):
    """Writes the --modern site into root with its absolute links to www.site.test pointed at
    address ("127.0.0.1:PORT"), the server that will serve it."""
    import subprocess
    import sys
    subprocess.run([sys.executable, os.path.abspath(__file__), root, "--modern",
                    "--pages", str(pages), "--images", str(images)], check=True)
    for folder, _, files in os.walk(root):
        for file in files:
            if file.endswith((".html", ".css")):
                path = os.path.join(folder, file)
                with open(path, "rb") as f:
                    data = f.read()
                with open(path, "wb") as f:
                    f.write(data.replace(b"www.site.test", address.encode()))


if __name__ == "__main__":
    main()
