// Draws the page of the route in the address: a history route from the path, or a route from the
// hash ("#/about"). The page's text comes from content/NAME.json, the links from content/nav.json.
const route = location.hash.startsWith('#/') ? location.hash.slice(1) : location.pathname;
const name = route === '/' || route === '/index.html'
    ? 'home' : route.replace(/^\//, '').replace(/\.html$/, '').replace(/\//g, '-');

function element(tag, properties) {
    return Object.assign(document.createElement(tag), properties);
}

fetch('/content/' + name + '.json').then(answer => answer.json()).then(page => {
    document.title = page.title;
    const app = document.getElementById('app');
    app.replaceChildren(element('h1', {textContent: page.title}));
    for (const text of page.paragraphs)
        app.append(element('p', {textContent: text}));
    if (page.image)
        app.append(element('img', {src: page.image, alt: page.title}));
    return fetch('/content/nav.json');
}).then(answer => answer.json()).then(links => {
    for (const link of links)
        document.getElementById('nav').append(element('a', {href: link.href, textContent: link.title}));
    document.head.append(element('link', {rel: 'stylesheet', href: '/drawn.css'}));
});
