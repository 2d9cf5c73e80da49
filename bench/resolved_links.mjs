#!/usr/bin/env node
// Prints, as JSON, the URL every reference of a page resolves to in headless Chromium: each
// element's href, src, data and poster as the DOM reads them, and every srcset candidate read
// against the document's base. Requests to the network are stopped before they leave the machine.
//
// Usage: node bench/resolved_links.mjs URL...
// Output: {"URL": [{"tag": "a", "attribute": "href", "url": "..."}, ...], ...}
// Needs playwright-core (npm install in bench/) and Debian's /usr/bin/chromium.

import { chromium } from 'playwright-core';

const LOAD_TIMEOUT_MS = 15000;

function readReferences() {
  const found = [];
  const add = (element, attribute, url) =>
    found.push({ tag: element.tagName.toLowerCase(), attribute, url });
  for (const element of document.querySelectorAll('[href],[src],[data],[poster],[srcset]')) {
    const tag = element.tagName.toLowerCase();
    if (tag === 'base') continue;
    for (const attribute of ['href', 'src', 'data', 'poster']) {
      if (!element.hasAttribute(attribute)) continue;
      if (attribute === 'data' && tag !== 'object') continue;
      const value = element[attribute];
      add(element, attribute, typeof value === 'string' ? value : element.getAttribute(attribute));
    }
    if (element.hasAttribute('srcset')) {
      for (const candidate of element.getAttribute('srcset').split(',')) {
        const written = candidate.trim().split(/\s+/)[0];
        if (written) add(element, 'srcset', new URL(written, document.baseURI).href);
      }
    }
  }
  return found;
}

async function main() {
  const urls = process.argv.slice(2);
  if (urls.length === 0) {
    console.error('usage: resolved_links.mjs URL...');
    process.exit(2);
  }
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox'],
  });
  const result = {};
  try {
    const context = await browser.newContext();
    // Only loopback is asked: anything else is stopped.
    await context.route(/^https?:\/\/(?!127\.0\.0\.1[:/])/, (route) => route.abort('blockedbyclient'));
    for (const url of urls) {
      const page = await context.newPage();
      await page.goto(url, { waitUntil: 'load', timeout: LOAD_TIMEOUT_MS });
      result[url] = await page.evaluate(readReferences);
      await page.close();
    }
  } finally {
    await browser.close();
  }
  console.log(JSON.stringify(result, null, 1));
}

main();
