#!/usr/bin/env python3
"""Discs from WARC files that wget writes: a local site fetched with wget --warc-file over HTTP
(compressed and plain) and over HTTPS (a test certificate), hand-broken copies, the way back out
with export, add --from-warc, and a mirror made over HTTPS."""

import argparse
import gzip
import http.server
import json
import os
import re
import shutil
import sqlite3
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile
import zlib

ARGS = None
MODIFIED = "Tue, 02 Jan 2024 03:04:05 GMT"
PAGE = b"<html><title>Page</title><p>a page</p></html>"
IMAGE = bytes(range(256)) * 40
ZIPPED = b"<p>" + b"sent gzip-coded " * 500 + b"</p>"
CHUNKS = (b"first ", b"second ", b"third")
INDEX = (b'<html><a href="page.html">p</a> <img src="img.png"> <a href="gz.html">g</a> '
         b'<a href="chunked.txt">c</a> <a href="old.html">o</a> <a href="missing.html">m</a></html>')


class Site(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = self.path.split("?")[0]
        if path in ("/", "/index.html"):
            self.reply(200, INDEX, "text/html")
        elif path == "/page.html":
            self.reply(200, PAGE, "text/html; charset=utf-8", [("Last-Modified", MODIFIED)])
        elif path == "/img.png":
            self.reply(200, IMAGE, "image/png")
        elif path == "/gz.html":
            self.reply(200, gzip.compress(ZIPPED), "text/html", [("Content-Encoding", "gzip")])
        elif path == "/chunked.txt":
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for part in CHUNKS:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
            self.wfile.write(b"0\r\n\r\n")
        elif path == "/old.html":
            self.reply(301, b"", "text/plain", [("Location", "/page.html")])
        else:
            self.reply(404, b"not here", "text/plain")

    def reply(self, status, body, kind, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)


def serve(context=None):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Site)
    server.daemon_threads = True
    if context:
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def tool(*args):
    return subprocess.run([ARGS.disc_tool, *args], capture_output=True, text=True, timeout=120)


def wget(url, warc, *extra):
    run = subprocess.run(
        ["wget", "--no-verbose", "--recursive", "--level=2", "--no-directories", "--delete-after",
         "-e", "robots=off", "--no-proxy", "--warc-file=" + warc, *extra, url],
        capture_output=True, text=True, timeout=120)
    assert run.returncode in (0, 8), run.stderr  # 8: the 404 the site has on purpose


def listing(disc):
    """{url: redirect target or (extension, bytes of its file)} of a disc."""
    run = tool("list", disc)
    assert run.returncode == 0, run.stderr
    entries = {}
    for line in run.stdout.splitlines()[2:]:
        parts = line.split()
        if "->" in parts:
            entries[parts[-3]] = parts[-1]
            continue
        shown = tool("show", disc, parts[0]).stdout
        file = re.search(r"^file: +(\S+)", shown, re.M).group(1)
        kind = re.search(r"^content type: +(.*)$", shown, re.M).group(1)
        with open(os.path.join(disc, file), "rb") as f:
            entries[parts[-1]] = (file.rsplit(".", 1)[-1] if "." in file else "", kind, f.read())
    return entries


def members(data):
    """The offsets of the gzip members of a file."""
    offsets, at = [], 0
    while at < len(data):
        offsets.append(at)
        d = zlib.decompressobj(31)
        d.decompress(data[at:])
        at = len(data) - len(d.unused_data)
    return offsets


class WarcDiscs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="quillon-warc-")
        cls.dir = cls.tmp.name
        cls.http = serve()
        cls.origin = "http://127.0.0.1:%d" % cls.http.server_address[1]
        cls.gz = os.path.join(cls.dir, "site")
        cls.plain = os.path.join(cls.dir, "plain")
        wget(cls.origin + "/", cls.gz)
        wget(cls.origin + "/", cls.plain, "--no-warc-compression")
        cls.gz += ".warc.gz"
        cls.plain += ".warc"
        # A second crawl that keeps only revisits of the payloads the first one holds.
        cls.first, cls.again = os.path.join(cls.dir, "first"), os.path.join(cls.dir, "again")
        wget(cls.origin + "/", cls.first, "--warc-cdx")
        wget(cls.origin + "/", cls.again, "--warc-dedup=" + cls.first + ".cdx")
        cls.first += ".warc.gz"
        cls.again += ".warc.gz"

        key, cert = os.path.join(cls.dir, "key.pem"), os.path.join(cls.dir, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-keyout", key, "-out", cert, "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True, timeout=60)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        cls.https = serve(context)
        cls.secure = "https://127.0.0.1:%d" % cls.https.server_address[1]
        cls.tls = os.path.join(cls.dir, "tls")
        wget(cls.secure + "/", cls.tls, "--ca-certificate=" + cert)
        cls.tls += ".warc.gz"

    @classmethod
    def tearDownClass(cls):
        cls.http.shutdown()
        cls.https.shutdown()
        cls.tmp.cleanup()

    def expected(self, origin):
        return {
            origin + "/": ("htm", "(by extension)", INDEX),
            origin + "/page.html": ("htm", "text/html; charset=utf-8", PAGE),
            origin + "/img.png": ("png", "image/png", IMAGE),
            origin + "/gz.html": ("htm", "(by extension)", ZIPPED),
            origin + "/chunked.txt": ("txt", "(by extension)", b"".join(CHUNKS)),
            origin + "/old.html": origin + "/page.html",
        }

    def create(self, name, *sources, code=0):
        disc = os.path.join(self.dir, name)
        run = tool("create", disc, "--force", *[w for s in sources for w in ("--from-warc", s)])
        self.assertEqual(run.returncode, code, run.stdout + run.stderr)
        return disc, run

    def test_wget_archives_become_discs(self):
        for name, warc, origin in (("gz", self.gz, self.origin), ("plain", self.plain, self.origin),
                                   ("tls", self.tls, self.secure)):
            with self.subTest(name):
                disc, run = self.create("disc-" + name, warc)
                self.assertEqual(listing(disc), self.expected(origin))
                self.assertIn("5 documents, 1 redirects", run.stdout)
                self.assertIn("skipped: 1 status 404", run.stdout)
                self.assertEqual(tool("check", disc).returncode, 0)
        shown = tool("show", os.path.join(self.dir, "disc-gz"), self.origin + "/page.html").stdout
        self.assertIn("last modified: " + MODIFIED, shown)

    def test_revisits_take_the_payload_they_point_to(self):
        disc, run = self.create("revisits", self.first, self.again)
        self.assertEqual(listing(disc), self.expected(self.origin))
        self.assertNotIn("revisit of", run.stdout)  # every one resolved, none skipped
        self.assertNotIn("truncated", run.stdout)
        self.assertIn("skipped: 2 status 404", run.stdout)  # the first 404 and its revisit
        with open(self.again, "rb") as f:
            revisits = gzip.decompress(f.read()).count(b"WARC-Type: revisit")
        self.assertGreaterEqual(revisits, 4)
        # Alone, with one record of its own: the revisits point nowhere.
        alone = os.path.join(self.dir, "alone.warc.gz")
        own = (b"WARC/1.0\r\nWARC-Type: resource\r\nWARC-Target-URI: http://own.example/a.txt\r\n"
               b"Content-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello\r\n\r\n")
        with open(self.again, "rb") as f, open(alone, "wb") as out:
            out.write(f.read() + gzip.compress(own))
        _, run = self.create("revisits-alone", alone)
        self.assertIn("%d revisit of a payload not in the archives" % revisits, run.stdout)

    def test_broken_copies_import_the_rest(self):
        with open(self.gz, "rb") as f:
            data = f.read()
        offsets = members(data)

        def member_of(marker):
            for start, end in zip(offsets, offsets[1:] + [len(data)]):
                text = zlib.decompress(data[start:end], 31)
                if b"WARC-Type: response" in text and marker in text:
                    return start, end
            raise AssertionError(marker)

        page, _ = member_of(b"/page.html>")
        image, image_end = member_of(b"/img.png>")
        damaged = bytearray(data)
        damaged[(image + image_end) // 2] ^= 0xFF
        rows = [
            # name, bytes, offset reported, addresses missing
            ("cut short", data[:(image + image_end) // 2], image, None),
            ("damaged member", bytes(damaged), image, ["/img.png"]),
            ("garbage between", data[:page] + b"GARBAGE!" * 20 + data[page:], page, []),
        ]
        for name, content, offset, missing in rows:
            with self.subTest(name):
                broken = os.path.join(self.dir, name.replace(" ", "-") + ".warc.gz")
                with open(broken, "wb") as f:
                    f.write(content)
                disc, run = self.create("broken", broken, code=3)
                self.assertIn("offset %d: " % offset, run.stderr)
                self.assertIn("1 broken record", run.stdout)
                got = listing(disc)
                if missing is None:  # everything before the cut
                    self.assertIn(self.origin + "/", got)
                    continue
                expected = self.expected(self.origin)
                for path in missing:
                    del expected[self.origin + path]
                self.assertEqual(got, expected)

    def test_export_round_trip_and_add(self):
        disc, _ = self.create("source", self.gz, self.tls)
        exported = os.path.join(self.dir, "export.warc.gz")
        run = tool("export", disc, "--warc", exported)
        self.assertEqual(run.returncode, 0, run.stderr)
        again, _ = self.create("again", exported)
        before = listing(disc)
        self.assertEqual(listing(again), before)
        self.assertEqual(len(before), 12)
        # The export is standard: every record a gzip member, digests in base 32.
        with open(exported, "rb") as f:
            data = f.read()
        self.assertEqual(len(members(data)), 13)  # warcinfo and one record an entry
        self.assertIn(b"WARC-Payload-Digest: sha1:", zlib.decompress(data[members(data)[1]:], 31))

        added = self.create("added", self.plain)[0]
        run = tool("add", added, "--from-warc", self.tls)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("added to %s: 5 documents, 1 redirects" % added, run.stdout)
        self.assertEqual(listing(added), before)
        run = tool("add", added, "--from-warc", self.tls)
        self.assertIn("6 already on the disc", run.stdout)
        self.assertEqual(tool("check", added).returncode, 0)

    def test_wacz_start_pages_and_capture_dates(self):
        def record(uri, date, body):
            block = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n" + body
            return gzip.compress(b"WARC/1.1\r\nWARC-Type: response\r\nWARC-Target-URI: " + uri +
                                 b"\r\nWARC-Date: " + date + b"\r\nContent-Length: %d\r\n\r\n"
                                 % len(block) + block + b"\r\n\r\n")
        warc = (record(b"http://w.example/", b"2021-03-04T05:06:07Z", b"<p>home</p>") +
                record(b"http://w.example/b.html", b"2022-01-01T00:00:00Z", PAGE))
        pages = [{"format": "json-pages-1.0", "id": "pages", "title": "All Pages"},
                 {"id": "1", "url": "http://w.example/", "title": "Home \u00e9", "ts": "x"},
                 {"id": "2", "url": "http://w.example/gone", "title": "Not captured"}]
        # Named as no archive is: the content says what it is.
        wacz = os.path.join(self.dir, "crawl.bin")
        with zipfile.ZipFile(wacz, "w") as z:
            z.writestr("archive/data.warc.gz", warc, compress_type=zipfile.ZIP_STORED)
            z.writestr("pages/pages.jsonl", "\n".join(json.dumps(p) for p in pages) + "\n",
                       compress_type=zipfile.ZIP_DEFLATED)
            z.writestr("datapackage.json", "{}")
        disc, _ = self.create("wacz", wacz)
        self.assertEqual(sorted(listing(disc)), ["http://w.example/", "http://w.example/b.html"])
        with sqlite3.connect(os.path.join(disc, "catalogue.db")) as db:
            self.assertEqual(db.execute("SELECT url, title FROM start_pages").fetchall(),
                             [("http://w.example/", "Home \u00e9")])
        exported = os.path.join(self.dir, "wacz-export.warc.gz")
        self.assertEqual(tool("export", disc, "--warc", exported).returncode, 0)
        with open(exported, "rb") as f:
            data = f.read()
        dates = {}
        for at in members(data)[1:]:
            text = zlib.decompressobj(31).decompress(data[at:])
            uri = re.search(rb"WARC-Target-URI: (\S+)", text).group(1)
            dates[uri] = re.search(rb"WARC-Date: (\S+)", text).group(1)
        self.assertEqual(dates, {b"http://w.example/": b"2021-03-04T05:06:07Z",
                                 b"http://w.example/b.html": b"2022-01-01T00:00:00Z"})

    def test_mirror_made_over_https(self):
        mirror = os.path.join(self.dir, "mirror", "secure.example")
        os.makedirs(mirror)
        with open(os.path.join(mirror, "index.html"), "wb") as f:
            f.write(PAGE)
        disc = os.path.join(self.dir, "mirror-disc")
        run = tool("create", disc, "--from", os.path.dirname(mirror), "--scheme", "https")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("https://secure.example/index.html", listing(disc))
        rows = [
            (["create", disc + "2", "--from", mirror, "--scheme", "ftp"], 2),
            (["create", disc + "2", "--from-warc", self.gz, "--scheme", "https"], 2),
            (["create", disc + "2"], 2),
            (["create", disc + "2", "--from-warc", os.path.join(self.dir, "none.warc")], 1),
        ]
        for args, code in rows:
            with self.subTest(args):
                self.assertEqual(tool(*args).returncode, code)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--disc-tool", required=True)
    ARGS, rest = parser.parse_known_args()
    if shutil.which("wget") is None or shutil.which("openssl") is None:
        print("wget and openssl are needed (make deps installs them)")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
