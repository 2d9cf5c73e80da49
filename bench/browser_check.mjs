#!/usr/bin/env node
// Opens pages of a copied site from disk (file://) in headless Chromium and counts what they load.
//
// Usage: node bench/browser_check.mjs [--json] [--examples N] FILE...
//        node bench/browser_check.mjs [--json] [--examples N] --folder DIR --sample N
//
// For each page it counts the requests the page makes while it loads (stylesheets, scripts,
// images, fonts, frames; not the links a reader may follow):
//   failed   a file:// (or other local) request that does not load: a "requestfailed" event
//            (net::ERR_FILE_NOT_FOUND, a blocked load) or a response with an error status;
//            of these, "missing" ask for a file that is not on disk, "blocked" for one that is
//            (Chromium refuses some loads from file://, such as fonts preloaded with crossorigin)
//   network  a request to http:// or https://, which a copy meant to browse offline should not
//            make; these are stopped before they leave the machine and are not counted as failed;
//            of these, "network site" go to a loopback host: in the benchmarks, the copied site,
//            for a file the copy should have held
//   images broken  <img> elements with a source whose naturalWidth is 0 once the page and its
//            images have loaded (lazy ones are made eager first): SVG ones count like the others
// Failed and network requests are also counted by the kind Chromium tells of them (stylesheet,
// script, image, font, fetch, manifest, ...), with an example of each kind.
// With --folder, the pages are DIR/index.html first, then N-1 others evenly spread over the sorted
// list of pages (.html, .htm, .xhtml) below DIR.
// Needs playwright-core (npm install in bench/) and Debian's /usr/bin/chromium.

import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const PAGE_PATTERN = /\.(html?|xhtml)$/i;
const LOAD_TIMEOUT_MS = 15000;
const IMAGE_WAIT_MS = 5000;
const LOOPBACK = /^https?:\/\/(127\.\d+\.\d+\.\d+|localhost|\[::1\])(:\d+)?\//i;

function parseArguments(argv) {
  const options = { json: false, examples: 5, folder: null, sample: 10, files: [] };
  for (let i = 0; i < argv.length; i++) {
    const word = argv[i];
    if (word === '--json') options.json = true;
    else if (word === '--examples') options.examples = Number(argv[++i]);
    else if (word === '--folder') options.folder = argv[++i];
    else if (word === '--sample') options.sample = Number(argv[++i]);
    else options.files.push(word);
  }
  if (!options.folder && options.files.length === 0) {
    console.error('usage: browser_check.mjs [--json] [--examples N] (FILE... | --folder DIR --sample N)');
    process.exit(2);
  }
  return options;
}

function pagesBelow(folder) {
  const found = [];
  const walk = (dir) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true }).sort((a, b) => (a.name < b.name ? -1 : 1))) {
      const full = path.join(dir, entry.name);
      if (entry.isDirectory()) walk(full);
      else if (PAGE_PATTERN.test(entry.name)) found.push(full);
    }
  };
  walk(folder);
  return found;
}

// The start page first, then count-1 pages evenly spread over the rest.
function samplePages(folder, count) {
  const all = pagesBelow(folder);
  const start = path.join(folder, 'index.html');
  const rest = all.filter((file) => file !== start);
  const chosen = fs.existsSync(start) ? [start] : [];
  const wanted = Math.min(count - chosen.length, rest.length);
  for (let k = 0; k < wanted; k++) chosen.push(rest[Math.floor((k * rest.length) / wanted)]);
  return chosen;
}

function onDisk(url) {
  if (!/^file:/i.test(url)) return false;
  try {
    return fs.statSync(fileURLToPath(url.split(/[?#]/)[0])).isFile();
  } catch {
    return false;
  }
}

// The sources of the page's <img> elements that show nothing: naturalWidth 0 once every image with
// a source has loaded or failed, or IMAGE_WAIT_MS has passed.
async function brokenImages(page) {
  return page.evaluate(async (waitMs) => {
    const images = [...document.images].filter((image) => image.currentSrc || image.getAttribute('src'));
    for (const image of images) image.loading = 'eager';
    const settled = images.map((image) => (image.complete ? null
      : new Promise((resolve) => {
        image.addEventListener('load', resolve, { once: true });
        image.addEventListener('error', resolve, { once: true });
      })));
    await Promise.race([Promise.all(settled), new Promise((resolve) => setTimeout(resolve, waitMs))]);
    return images.filter((image) => image.naturalWidth === 0).map((image) => image.currentSrc || image.src);
  }, IMAGE_WAIT_MS);
}

async function checkPages(files, examplesKept) {
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox'],
  });
  const totals = { pages: 0, 'pages not loaded': 0, requests: 0, failed: 0, missing: 0, blocked: 0, network: 0, 'network site': 0,
    'images broken': 0, 'images broken online': 0 };
  const examples = { failed: [], network: [], 'pages not loaded': [], 'images broken': [] };
  const byKind = { missing: {}, blocked: {}, 'network site': {}, network: {} };
  const keep = (kind, entry) => {
    if (examples[kind].length < examplesKept) examples[kind].push(entry);
  };
  const fail = (request, entry) => {
    const outcome = onDisk(entry.url) ? 'blocked' : 'missing';
    totals.failed++;
    totals[outcome]++;
    keep('failed', entry);
    tally(outcome, request, entry);
  };
  const tally = (outcome, request, entry) => {
    const kind = request.resourceType();
    const counted = (byKind[outcome][kind] ??= { count: 0, example: entry });
    counted.count++;
  };
  try {
    const context = await browser.newContext();
    // Nothing leaves the machine: a request to the web is counted, then stopped.
    await context.route(/^https?:/, (route) => route.abort('blockedbyclient'));
    for (const file of files) {
      const page = await context.newPage();
      const pageUrl = pathToFileURL(path.resolve(file)).href;
      const shown = file;
      page.on('request', (request) => {
        totals.requests++;
        if (/^https?:/i.test(request.url())) {
          const outcome = LOOPBACK.test(request.url()) ? 'network site' : 'network';
          totals.network++;
          if (outcome === 'network site') totals['network site']++;
          keep('network', { page: shown, url: request.url() });
          tally(outcome, request, { page: shown, url: request.url() });
        }
      });
      page.on('requestfailed', (request) => {
        if (/^https?:/i.test(request.url())) return; // counted as network
        fail(request, { page: shown, url: request.url(), reason: request.failure()?.errorText ?? '' });
      });
      page.on('response', (response) => {
        if (!/^https?:/i.test(response.url()) && response.status() >= 400) {
          fail(response.request(), { page: shown, url: response.url(), reason: `status ${response.status()}` });
        }
      });
      totals.pages++;
      try {
        await page.goto(pageUrl, { waitUntil: 'load', timeout: LOAD_TIMEOUT_MS });
        for (const url of await brokenImages(page)) {
          totals['images broken']++;
          if (/^https?:/i.test(url)) totals['images broken online']++;
          keep('images broken', { page: shown, url });
        }
      } catch (error) {
        totals['pages not loaded']++;
        keep('pages not loaded', { page: shown, reason: String(error.message).split('\n')[0] });
      }
      await page.close();
    }
  } finally {
    await browser.close();
  }
  return { ...totals, examples, 'by kind': byKind };
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const files = options.folder ? samplePages(options.folder, options.sample) : options.files;
  const result = await checkPages(files, options.examples);
  if (options.json) {
    console.log(JSON.stringify(result, null, 1));
    return;
  }
  console.log(`${result.pages} pages opened (${result['pages not loaded']} did not load), ${result.requests} requests`);
  console.log(`  failed: ${result.failed} (missing ${result.missing}, blocked ${result.blocked})`);
  console.log(`  network: ${result.network} (to a loopback host: ${result['network site']})`);
  console.log(`  images broken: ${result['images broken']} (online ${result['images broken online']})`);
  for (const outcome of Object.keys(result['by kind'])) {
    for (const [kind, { count, example }] of Object.entries(result['by kind'][outcome])) {
      console.log(`  ${outcome} ${kind}: ${count}, such as ${example.url} (${example.page})`);
    }
  }
  for (const kind of ['pages not loaded', 'failed', 'network', 'images broken']) {
    for (const entry of result.examples[kind]) {
      console.log(`  ${kind}: ${entry.page}${entry.url ? ` -> ${entry.url}` : ''}${entry.reason ? ` (${entry.reason})` : ''}`);
    }
  }
}

await main();
