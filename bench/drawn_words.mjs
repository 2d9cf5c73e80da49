#!/usr/bin/env node
// Words a reader sees on each page of a live site whose script draws it, and on the same page of
// copies opened from disk, in headless Chromium; and the requests the copies make to the network
// (stopped before they leave the machine).
//
// Usage: node bench/drawn_words.mjs SPEC.json
//   SPEC: {"live": "http://127.0.0.1:PORT/", "routes": ["/", "/#/topics/x", ...],
//          "copies": {"name": "DIR holding the site's index.html", ...}}
// A route's page in a copy is DIR/<route>.html or DIR/_route/<route>.html when the copy holds one
// (a hash route "#/a/b" as a/b.html), else DIR/index.html with the route's hash, as a reader
// following the link gets it.
// Prints JSON: for each copy, the share of each live page's words (counted with repeats) that
// its page shows, and the requests to the network: to the site, and to other hosts.
// Needs playwright-core (npm install in bench/) and Debian's /usr/bin/chromium.

import fs from 'node:fs';
import path from 'node:path';
import {pathToFileURL} from 'node:url';
import {chromium} from 'playwright-core';

const SETTLE_MS = 1500;

function words(text)
{
    const counts = new Map();
    for (const word of text.toLowerCase().split(/\s+/).filter(Boolean))
        counts.set(word, (counts.get(word) ?? 0) + 1);
    return counts;
}

function shared(live, shown)
{
    let total = 0, found = 0;
    for (const [word, count] of live) {
        total += count;
        found += Math.min(count, shown.get(word) ?? 0);
    }
    return total === 0 ? 1 : found / total;
}

const LOOPBACK = /^https?:\/\/127\.0\.0\.1[:/]/;

async function shownText(context, url, network)
{
    const page = await context.newPage();
    page.on('request', (request) => {
        if (/^https?:/.test(request.url()) && !url.startsWith('http'))
            network.push(request.url());
    });
    await page.goto(url, {waitUntil : 'load'}).catch(() => {});
    await page.waitForLoadState('networkidle').catch(() => {});
    await page.waitForTimeout(SETTLE_MS);
    const text = await page.evaluate(() => document.body ? document.body.innerText : '');
    await page.close();
    return text;
}

function copyPageOf(dir, route)
{
    const hash = route.includes('#') ? route.slice(route.indexOf('#')) : '';
    const name = (hash ? hash.slice(1) : route).replace(/^\/+/, '');
    for (const file of [path.join(dir, name + '.html'), path.join(dir, '_route', name + '.html')])
        if (name && fs.existsSync(file))
            return pathToFileURL(file).href;
    return pathToFileURL(path.join(dir, 'index.html')).href + hash;
}

const spec = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const browser = await chromium.launch(
    {executablePath : '/usr/bin/chromium', headless : true, args : [ '--no-sandbox' ]});
const result = {
    pages : spec.routes.length,
    copies : {}
};
try {
    const live = await browser.newContext();
    const liveWords = [];
    for (const route of spec.routes)
        liveWords.push(words(await shownText(live, new URL(route, spec.live).href, [])));
    result.liveWords = liveWords.reduce(
        (sum, counts) => sum + [...counts.values() ].reduce((a, b) => a + b, 0), 0);
    for (const [name, dir] of Object.entries(spec.copies)) {
        const context = await browser.newContext();
        await context.route(/^https?:/, (route) => route.abort('blockedbyclient'));
        const network = [];
        const shares = [];
        for (const [i, route] of spec.routes.entries())
            shares.push(shared(
                liveWords[i], words(await shownText(context, copyPageOf(dir, route), network))));
        result.copies[name] = {
            wordsShown : shares.reduce((a, b) => a + b, 0) / shares.length,
            pagesAt80 : shares.filter((share) => share >= 0.8).length,
            networkSite : network.filter((url) => LOOPBACK.test(url)).length,
            networkOther : network.filter((url) => !LOOPBACK.test(url)).length,
            networkExamples : [...new Set(network) ].slice(0, 3),
        };
        await context.close();
    }
} finally {
    await browser.close();
}
console.log(JSON.stringify(result, null, 2));
