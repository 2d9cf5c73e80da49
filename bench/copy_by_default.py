"""The copy a new user gets: run_real_sites.py --defaults runs tidewell-cli with nothing but
-o DIR URL and wget2 as `wget2 -r -k -p` (with -l inf, which wget2 1.99 needs to follow links at
all, and -P DIR for the download folder), each with a fresh HOME. This module holds what that mode
adds: the fresh setting, the commands, the table of one site and the results section."""
import contextlib
import datetime
import os
import subprocess
import sys

import results_file

SECTION = "## A complete copy by default"
HOW = """\
bench/run_real_sites.py --defaults copies each site served by nginx on loopback with
`tidewell-cli -o DIR URL` and `wget2 -r -l inf -k -p -P DIR URL` (-l inf because wget2 1.99 follows
no link but the start page's requisites without it; -P is its -o). Neither is told of a second
host, a file type, a depth or a number of connections. Each runs with HOME, XDG_CONFIG_HOME and
XDG_DATA_HOME in a fresh temporary folder, and a file-type list left beside tidewell-cli by an
earlier desktop run (BINARY_DIR/temp/filetypes.txt) is moved aside for the run and put back after,
so tidewell-cli uses its built-in list. Then, with the servers stopped, 20 pages of each copy (the
start page first, the rest evenly spread over its pages) are opened from disk in headless
Chromium (bench/browser_check.mjs): "files missing" are requests for a file the copy does not hold
(file not found, or an error status), "loads refused" requests for a file the copy holds that
Chromium will not load from file:// (fonts preloaded with crossorigin), "images broken" <img>
elements with a source whose naturalWidth is 0 once loaded, SVG included (in brackets: those whose
source is online), "network requests" requests to http(s), stopped before they leave the machine
(in brackets: those to the copied site itself, on loopback, for a file the copy should hold). Below
each table, the missing requests, those to the site and those to other sites ("network") by the
kind Chromium gives them, with one example each.

What these sites load that their pages' tags do not name, or that trips a copier up:
- rustdoc: fonts and images named only in rustdoc.css (SourceSerif4-It.ttf.woff2,
  toggle-minus.svg); fonts preloaded with `<link rel="preload" as="font" crossorigin>`, which Chromium
  refuses from file:// even when the copy holds them; stylesheets in `<link ... disabled>` (ayu.css,
  dark.css) and in `<noscript>`; scripts whose URL main.js builds from the page's data-root-path and
  data-resource-suffix (search.js and search-index.js when the search box is used, settings.js and
  settings.css); crates linked only from crates.js's list (openssl_macros, serde_derive, unicode_ident:
  no copier reaches them); settings.html names a sidebar-items.js the server lacks; shields.io badges.
- mkdocs: fonts with a version query named only in a stylesheet (fonts/fontawesome-webfont.woff2?v=4.7.0:
  stored under that name, with "?" in it, the copy cannot serve it from disk), img/grid.png from
  base.css; search/worker.js started as a Worker from search/main.js with a base_url set in an inline
  script, which loads lunr.js and search/search_index.json; highlight.js named as
  file:///usr/share/javascript/... (loads only where the package is installed); a tag manager script
  online; links to folders the package does not hold (getting-started/: 404).
- modern: stylesheets, scripts, images and a font on a second host with version queries
  (extra.css?v=3, logo.svg?v=20240105); a font and an image named only in a stylesheet
  (RobotoSlab-Regular.woff2?v=1, waves.png?v=2); srcset candidates (boat@2x.png); favicons; links
  without extension (/about), which wget2 stores as about.1 and blog/2024/hello (no page from disk);
  Material's search worker path sits in an inline JSON (`<script id="__config">`), unused here.
- python: a chain of @import (default.css, classic.css, basic.css); pydoctheme.css?2022.1 (wget2 keeps
  "?2022.1" in the name: no style from disk); _static/glossary.json fetched with $.getJSON by an inline
  script of search.html; searchindex.js on search.html only; a canonical link to
  file:///usr/share/doc/...; "Show Source" links to _sources/, empty in the package; jquery.js and
  underscore.js are symbolic links on the server."""


def tidewell_command(binary, url):
    return [os.path.abspath(binary), "-o", "OUT", url]


def wget2_command(url):
    return ["wget2", "-r", "-l", "inf", "-k", "-p", "-P", "OUT", url]


def fresh_environment(home):
    """The environment of a copier that must not find the settings of an earlier run."""
    os.makedirs(home, exist_ok=True)
    return {**os.environ, "HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache")}


@contextlib.contextmanager
def no_leftover_type_list(binary):
    """Moves the file-type list an earlier desktop run left beside the binary aside for the run,
    and puts it back after; one the run writes there is removed."""
    listed = os.path.join(os.path.dirname(os.path.abspath(binary)), "temp", "filetypes.txt")
    aside = listed + f".aside-{os.getpid()}"
    moved = os.path.isfile(listed)
    if moved:
        os.rename(listed, aside)
        print(f"  {listed} moved aside for the run", file=sys.stderr)
    try:
        yield
    finally:
        if os.path.isfile(listed):
            print(f"  the run wrote {listed}: removed", file=sys.stderr)
            os.remove(listed)
        if moved:
            os.rename(aside, listed)


def first_line(command):
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"
    return ((result.stdout or result.stderr).strip().splitlines() or ["unknown"])[0]


def versions(binary):
    commit = first_line(["git", "-C", os.path.dirname(os.path.abspath(binary)), "log", "-1", "--format=%h"])
    return (f"{first_line([binary, '--version'])} built from {commit}; "
            f"{first_line(['wget2', '--version']).split(' - ')[0]}; {first_line(['chromium', '--version'])}; "
            f"{first_line(['nginx', '-v'])}")


def browser_cell(report, key):
    browser = (report or {}).get("browser")
    if not browser or "error" in browser:
        return "n/a"
    if key == "images broken":
        return f"{browser['images broken']} ({browser['images broken online']})"
    if key == "network":
        return f"{browser['network']} ({browser['network site']})"
    return str(browser[key])


def stored(report):
    if report is None:
        return "no copy"
    others = "".join(f" + {figures['stored']} on {host}" for host, figures in report["other hosts"].items())
    return f"{report['files']['stored']}{others}"


ROWS = (("wall time", lambda run, report: f"{run['seconds']:.1f} s"),
        ("exit status", lambda run, report: str(run["exit"])),
        ("files stored", lambda run, report: stored(report)),
        ("pages opened", lambda run, report: browser_cell(report, "pages")),
        ("files missing", lambda run, report: browser_cell(report, "missing")),
        ("loads refused", lambda run, report: browser_cell(report, "blocked")),
        ("images broken (online)", lambda run, report: browser_cell(report, "images broken")),
        ("network requests (to the site)", lambda run, report: browser_cell(report, "network")))


def short(url, host_dir):
    """A file:// URL of the copy as a path below its host folder."""
    prefix = "file://" + host_dir.rstrip("/") + "/"
    return url[len(prefix):] if url.startswith(prefix) else url


def kinds(label, run, report):
    """One line per kind of request that found no file or went to the network, with an example."""
    browser = (report or {}).get("browser")
    if not browser or "error" in browser:
        return []
    host_dir = os.path.abspath(run["host dirs"][0])
    return [f"- {label}, {outcome} {kind}: {entry['count']}, such as {short(entry['example']['url'], host_dir)} "
            f"(from {entry['example']['page']})"
            for outcome in ("missing", "network site", "network")
            for kind, entry in sorted(browser["by kind"][outcome].items(), key=lambda item: -item[1]["count"])]


def table(title, columns):
    """columns: (label, run, report) for each copier."""
    lines = [f"#### {title}", "", "| | " + " | ".join(label for label, _, _ in columns) + " |",
             "|---|" + "---|" * len(columns)]
    for row, value in ROWS:
        lines.append(f"| {row} | " + " | ".join(value(run, report) for _, run, report in columns) + " |")
    listed = [line for label, run, report in columns for line in kinds(label, run, report)]
    return "\n".join(lines + ([""] + listed if listed else []))


def write_results(path, label, binary, tables):
    """Writes the run's tables under "### LABEL" in the section, keeping other runs' tables."""
    heading = f"### {label}"
    text = "\n\n".join([heading, f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC. "
                        f"{versions(binary)}.", *tables])
    results_file.write_subsection(path, SECTION, HOW, heading, text)
