#!/usr/bin/env python3
"""A small site behind a login, for trying tidewell-cli's cookies and passwords by hand.

    python3 bench/loginsite.py PORT

/login (GET: a form; POST user=ann&password=secret: a session cookie, then /), pages that move
to /login without the session, a link that ends the session, /basic/ behind Basic and /digest/
behind Digest (MD5 or SHA-256, qop=auth), both as ann/secret.
"""
import base64
import hashlib
import http.server
import os
import sys
import urllib.parse

USER, PASSWORD = "ann", "secret"
SESSION = "s" + os.urandom(8).hex()
NONCE = os.urandom(8).hex()
REALM = "members"
PAGES = {
    "/": "<a href='/a.html'>A</a> <a href='/b/c.html'>C</a> <a href='/logout'>Log out</a>"
         " <a href='/bye.html'>Sign out</a> <img src='pic.gif'>",
    "/a.html": "<a href='/'>home</a> page A",
    "/b/c.html": "<a href='../a.html'>A</a> page C",
    "/bye.html": "would end the session too",
}


class Site(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def reply(self, status, body, fields=()):
        data = body.encode()
        self.send_response(status)
        for name, value in fields:
            self.send_header(name, value)
        self.send_header("Content-Type", "text/html" if not self.path.endswith(".gif") else "image/gif")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def logged_in(self):
        return f"session={SESSION}" in self.headers.get("Cookie", "")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        form = urllib.parse.parse_qs(self.rfile.read(length).decode())
        if self.path == "/login" and form.get("user") == [USER] and form.get("password") == [PASSWORD]:
            self.reply(303, "welcome", [("Set-Cookie", f"session={SESSION}; Path=/; HttpOnly"),
                                        ("Location", "/")])
        else:
            self.reply(403, "no")

    def digest_ok(self, value):
        fields = dict(urllib.parse.parse_qsl(value[7:].replace(", ", "&").replace('"', "")))
        algorithm = hashlib.sha256 if fields.get("algorithm") == "SHA-256" else hashlib.md5
        h = lambda text: algorithm(text.encode()).hexdigest()
        ha1 = h(f"{USER}:{REALM}:{PASSWORD}")
        ha2 = h(f"GET:{fields.get('uri')}")
        expected = h(f"{ha1}:{NONCE}:{fields.get('nc')}:{fields.get('cnonce')}:auth:{ha2}")
        return fields.get("username") == USER and fields.get("response") == expected

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        auth = self.headers.get("Authorization", "")
        if path.startswith("/basic/"):
            expected = "Basic " + base64.b64encode(f"{USER}:{PASSWORD}".encode()).decode()
            if auth != expected:
                return self.reply(401, "who?", [("WWW-Authenticate", f'Basic realm="{REALM}"')])
            return self.reply(200, "<a href='more.html'>more</a> basic area" if path == "/basic/" else "basic more")
        if path.startswith("/digest/"):
            if not (auth.startswith("Digest ") and self.digest_ok(auth)):
                return self.reply(401, "who?", [("WWW-Authenticate",
                    f'Digest realm="{REALM}", nonce="{NONCE}", qop="auth", algorithm=SHA-256'),
                    ("WWW-Authenticate", f'Digest realm="{REALM}", nonce="{NONCE}", qop="auth", algorithm=MD5')])
            return self.reply(200, "<a href='more.html'>more</a> digest area" if path == "/digest/" else "digest more")
        if path == "/login":
            return self.reply(200, "<form method='post' action='/login'><input name='user'>"
                                   "<input name='password' type='password'></form>")
        if path == "/logout":
            global SESSION
            SESSION = "s" + os.urandom(8).hex()
            return self.reply(302, "bye", [("Location", "/login")])
        if not self.logged_in():
            return self.reply(302, "log in first", [("Location", "/login")])
        if path == "/pic.gif":
            return self.reply(200, "GIF89a")
        if path in PAGES:
            return self.reply(200, PAGES[path], [("Set-Cookie", "seen=1; Path=/")])
        return self.reply(404, "none")


if __name__ == "__main__":
    http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Site).serve_forever()
