#!/usr/bin/env python3
"""Writes a synthetic website for the engine benchmarks.

Pages live in ten directories; links are relative, as most sites write them. Every page links to the next few pages, to a page in another
directory and to some images, so that the whole site is reachable from index.html. Sizes and
contents are fixed by the seed, so runs compare like with like.
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("root")
    parser.add_argument("--pages", type=int, default=2000)
    parser.add_argument("--images", type=int, default=500)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--big-file-mb", type=int, default=0,
                        help="also write big.bin of this many MiB, linked from index.html")
    args = parser.parse_args()
    rng = random.Random(args.seed)

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


if __name__ == "__main__":
    main()
