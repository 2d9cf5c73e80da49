#!/usr/bin/env python3
"""A documentation site whose script draws its pages, copied by tidewell-cli and by wget2, and the
copies opened from disk in headless Chromium beside the live site.

The site is made with docsify (npm install --ignore-scripts in bench/) from the Markdown of pip's
documentation in /usr/share/doc/python3-pip, served by python3 -m http.server on 127.0.0.1. For
each copy: the time it took, its files, the share of each live page's words that its page from
disk shows (bench/drawn_words.mjs), and the requests it makes to the network.

Then a static site (bench/gensite.py) copied with --render auto and --render never, in turns: the
copies must hold the same files, byte for byte, and auto take at most 1.1 times as long.

    python3 bench/run_drawn_site.py --cli build/src/app/tidewell-cli [--out bench/out/drawn]
"""

import argparse
import gzip
import json
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DOCS = Path('/usr/share/doc/python3-pip/html')
INDEX = """<!DOCTYPE html>
<html lang="en">
<head><meta charset="utf-8"><title>pip notes</title><link rel="stylesheet" href="vue.css"></head>
<body>
<div id="app"></div>
<script>window.$docsify = {name: 'pip notes', loadSidebar: true, subMaxLevel: 0};</script>
<script src="docsify.min.js"></script>
</body>
</html>
"""


def markdown_pages():
    """(name in the site, text) of the Markdown pages, plain or compressed."""
    pages = []
    for source in sorted(list(DOCS.glob('*.md')) + list(DOCS.glob('topics/*.md*'))):
        name = str(source.relative_to(DOCS))
        if name.endswith('.gz'):
            text, name = gzip.decompress(source.read_bytes()).decode(), name[:-3]
        else:
            text = source.read_text()
        pages.append((name, text))
    return pages


def build_site(site):
    shutil.rmtree(site, ignore_errors=True)
    site.mkdir(parents=True)
    lib = HERE / 'node_modules/docsify/lib'
    shutil.copy(lib / 'docsify.min.js', site)
    shutil.copy(lib / 'themes/vue.css', site)
    (site / 'index.html').write_text(INDEX)
    sidebar, routes = ['- [Home](/)'], ['/']
    for name, text in markdown_pages():
        target = 'README.md' if name == 'index.md' else name
        (site / target).parent.mkdir(parents=True, exist_ok=True)
        (site / target).write_text(text)
        if target != 'README.md':
            title = next((line.lstrip('# ') for line in text.splitlines() if line.startswith('#')), name)
            sidebar.append(f'- [{title}]({name})')
            routes.append('/#/' + name[:-3])
    (site / '_sidebar.md').write_text('\n'.join(sidebar) + '\n')
    shutil.copy(DOCS / 'topics/deps.png', site / 'topics')
    return routes


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def timed(command):
    start = time.monotonic()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return time.monotonic() - start, done.returncode, done.stderr


def files_below(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob('*') if p.is_file())


def tree(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob('*') if p.is_file()}


def static_site(cli, out, turns=3):
    """Times of copies of a static site with --render auto and never, and whether they agree."""
    site = out / 'static-site'
    shutil.rmtree(site, ignore_errors=True)
    subprocess.run([sys.executable, str(HERE / 'gensite.py'), str(site)], check=True,
                   stdout=subprocess.DEVNULL)
    port = free_port()
    server = subprocess.Popen([sys.executable, '-m', 'http.server', str(port), '--bind', '127.0.0.1',
                               '--directory', str(site)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    times = {'auto': [], 'never': []}
    try:
        time.sleep(0.5)
        for _ in range(turns):
            for mode in times:
                copy = out / f'static-{mode}'
                shutil.rmtree(copy, ignore_errors=True)
                seconds, _, _ = timed([cli, '-q', '-c', '8', '--render', mode, '-o', str(copy),
                                       f'http://127.0.0.1:{port}/'])
                times[mode].append(seconds)
    finally:
        server.terminate()
    folder = f'127.0.0.1+{port}'
    same = tree(out / 'static-auto' / folder) == tree(out / 'static-never' / folder)
    return times, same, len(tree(out / 'static-auto' / folder))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--cli', required=True)
    parser.add_argument('--out', default=str(HERE / 'out/drawn'))
    args = parser.parse_args()
    out = Path(args.out).resolve()
    routes = build_site(out / 'site')
    port = free_port()
    server = subprocess.Popen([sys.executable, '-m', 'http.server', str(port), '--bind', '127.0.0.1',
                               '--directory', str(out / 'site')],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        url = f'http://127.0.0.1:{port}/'
        runs = {}
        for name, command, folder in [
            ('tidewell-cli', [args.cli, '-q', '-o', str(out / 'tidewell'), url], f'127.0.0.1+{port}'),
            ('tidewell-cli --render never',
             [args.cli, '-q', '--render', 'never', '-o', str(out / 'never'), url], f'127.0.0.1+{port}'),
            ('wget2 -r -k -p', ['wget2', '-q', '-r', '-k', '-p', '-P', str(out / 'wget2'), url],
             '127.0.0.1'),
        ]:
            base = out / name.split()[0].replace('tidewell-cli', 'never' if 'never' in name else 'tidewell')
            shutil.rmtree(base, ignore_errors=True)
            seconds, code, _ = timed(command)
            runs[name] = {'seconds': round(seconds, 2), 'exit': code, 'dir': str(base / folder)}
            runs[name]['files'] = len(files_below(base / folder))
        spec = out / 'spec.json'
        spec.write_text(json.dumps({'live': url, 'routes': routes,
                                    'copies': {name: run['dir'] for name, run in runs.items()}}))
        seen = json.loads(subprocess.run(['node', str(HERE / 'drawn_words.mjs'), str(spec)],
                                         capture_output=True, text=True, check=True).stdout)
    finally:
        server.terminate()
    print(f"{len(routes)} pages, {seen['liveWords']} words shown live")
    print('| copy | time | files | words shown from disk | pages at 80 % or more '
          '| requests to the site | to other hosts |')
    print('|---|---|---|---|---|---|---|')
    for name, run in runs.items():
        copy = seen['copies'][name]
        print(f"| `{name}` | {run['seconds']} s | {run['files']} | {copy['wordsShown'] * 100:.0f} % "
              f"| {copy['pagesAt80']} of {len(routes)} | {copy['networkSite']} | {copy['networkOther']} |")
    times, same, files = static_site(args.cli, out)
    auto, never = min(times['auto']), min(times['never'])
    print(f"\nStatic site, {files} files: --render auto {auto:.2f} s, never {never:.2f} s (best of "
          f"{len(times['auto'])}; ratio {auto / never:.2f}); the copies are "
          f"{'the same, file for file' if same else 'DIFFERENT'}")


if __name__ == '__main__':
    main()
