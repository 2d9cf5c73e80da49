#!/usr/bin/env node
// Opens pages of a copied site from disk (file://) in headless Chromium and counts what they load.
//
// Usage: node bench/browser_check.mjs [--json] [--examples N] FILE...
//        node bench/browser_check.mjs [--json] [--examples N] --folder DIR --sample N
//
// For each page it counts the requests the page makes while it loads (stylesheets, scripts,
// images, fonts, frames; not the links a reader may follow):
//   failed   a file:// (or other local) request that does not load: a "requestfailed" event
//            (net::ERR_FILE_NOT_FOUND, a blocked load) or a response with an error status
//   network  a request to http:// or https://, which a copy meant to browse offline should not
//            make; these are stopped before they leave the machine and are not counted as failed
// With --folder, the pages are DIR/index.html first, then N-1 others evenly spread over the sorted
// list of pages (.html, .htm, .xhtml) below DIR.
// Needs playwright-core (npm install in bench/) and Debian's /usr/bin/chromium.

import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const PAGE_PATTERN = /\.(html?|xhtml)$/i;
const LOAD_TIMEOUT_MS = 15000;

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

async function checkPages(files, examplesKept) {
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox'],
  });
  const totals = { pages: 0, 'pages not loaded': 0, requests: 0, failed: 0, network: 0 };
  const examples = { failed: [], network: [], 'pages not loaded': [] };
  const keep = (kind, entry) => {
    if (examples[kind].length < examplesKept) examples[kind].push(entry);
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
          totals.network++;
          keep('network', { page: shown, url: request.url() });
        }
      });
      page.on('requestfailed', (request) => {
        if (/^https?:/i.test(request.url())) return; // counted as network
        totals.failed++;
        keep('failed', { page: shown, url: request.url(), reason: request.failure()?.errorText ?? '' });
      });
      page.on('response', (response) => {
        if (!/^https?:/i.test(response.url()) && response.status() >= 400) {
          totals.failed++;
          keep('failed', { page: shown, url: response.url(), reason: `status ${response.status()}` });
        }
      });
      totals.pages++;
      try {
        await page.goto(pageUrl, { waitUntil: 'load', timeout: LOAD_TIMEOUT_MS });
      } catch (error) {
        totals['pages not loaded']++;
        keep('pages not loaded', { page: shown, reason: String(error.message).split('\n')[0] });
      }
      await page.close();
    }
  } finally {
    await browser.close();
  }
  return { ...totals, examples };
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
  console.log(`  failed: ${result.failed}`);
  console.log(`  network: ${result.network}`);
  for (const kind of ['pages not loaded', 'failed', 'network']) {
    for (const entry of result.examples[kind]) {
      console.log(`  ${kind}: ${entry.page}${entry.url ? ` -> ${entry.url}` : ''}${entry.reason ? ` (${entry.reason})` : ''}`);
    }
  }
}

await main();
