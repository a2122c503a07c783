#!/usr/bin/env python3
"""A real site, whole, offline: Debian's HTML documentation of Python served by a local nginx,
mirrored by wget twice (a folder with --adjust-extension, and a WARC file), each copy made into a
disc; then, nginx stopped, every address wget captured asked through quillon-proxy --offline and
compared with the file nginx sent, and one page seen styled in headless Chromium.

    real_site_test.py --proxy P --disc-tool D --filter F
"""

import gzip
import html.parser
import http.client
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "host"))
import chromium  # noqa: E402
import proxy_e2e_test as e2e  # noqa: E402  (the end-to-end test's proxy helpers)

SKIP = 77
SITE = "/usr/share/doc/python3.11/html"
# A page with the theme's sidebar, whose grey (#eeeeee) only a styled page shows.
STYLED_PAGE = "library/functions.html"
SIDEBAR_GREY = (0xEE, 0xEE, 0xEE)
# What nginx needs beyond its defaults to run from a temporary folder, as whoever runs the test.
NGINX_CONF = """
daemon off;
master_process off;
pid {dir}/nginx.pid;
error_log stderr;
events {{ worker_connections 64; }}
http {{
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  access_log off;
  client_body_temp_path {dir}/body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  server {{
    listen 127.0.0.1:{port};
    root {root};
  }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(folder, port):
    conf = os.path.join(folder, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(dir=folder, port=port, root=SITE))
    nginx = subprocess.Popen([shutil.which("nginx") or "/usr/sbin/nginx", "-p", folder, "-c", conf],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return nginx
        except OSError:
            if nginx.poll() is not None:
                raise RuntimeError("nginx did not start: " + nginx.stderr.read().decode())
            time.sleep(0.05)
    nginx.kill()
    raise RuntimeError("nginx did not listen")


def wget(url, folder, *extra):
    return subprocess.Popen(["wget", "--mirror", "--no-verbose", "-e", "robots=off", "--no-proxy",
                             "-P", folder, *extra, url],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def finish(copies):
    for copy in copies:
        _, errors = copy.communicate(timeout=120)
        # 8: some link led to an error answer, which the copies record as well.
        assert copy.returncode in (0, 8), errors.decode(errors="replace")[-2000:]


def warc_responses(path):
    """(target URI, HTTP status, Location) of every response record of a WARC file."""
    with gzip.open(path, "rb") as f:
        data = f.read()
    found, at = [], 0
    while at < len(data):
        head_end = data.index(b"\r\n\r\n", at)
        fields = {}
        for line in data[at:head_end].split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            fields[name.strip().lower().decode()] = value.strip().decode()
        start = head_end + 4
        block = data[start:start + int(fields["content-length"])]
        at = start + len(block) + 4
        if fields.get("warc-type") != "response":
            continue
        http_head = block.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
        location = [l.split(":", 1)[1].strip() for l in http_head[1:]
                    if l.lower().startswith("location:")]
        found.append((fields["warc-target-uri"].strip("<>"), int(http_head[0].split()[1]),
                      location[0] if location else None))
    return found


def mirror_addresses(folder, origin):
    """The address of every file of a wget mirror, --adjust-extension's additions taken off."""
    host = os.path.join(folder, urllib.parse.urlsplit(origin).netloc)
    urls = []
    for parent, _, files in os.walk(host):
        for name in files:
            path = os.path.relpath(os.path.join(parent, name), host)
            if "?" in path:
                for added in (".html", ".css"):
                    if path.endswith(added):
                        path = path[:-len(added)]
                        break
            urls.append(origin + "/" + urllib.parse.quote(path, safe="/?=&:;,+~!$'()*@"))
    return urls


def original(url):
    """The bytes nginx sent for an address: its file under the site's folder."""
    path = urllib.parse.unquote(urllib.parse.urlsplit(url).path)
    if path.endswith("/"):
        path += "index.html"
    with open(os.path.join(SITE, path.lstrip("/")), "rb") as f:
        return f.read()


class Fetcher:
    """Requests through the proxy on one kept-alive connection, following its redirects."""

    def __init__(self, port):
        self.port = port
        self.conn = None

    def close(self):
        if self.conn is not None:
            self.conn.close()

    def get(self, url, follow=3):
        while True:
            for attempt in (0, 1):  # once more on a fresh connection when the kept one closed
                if self.conn is None:
                    self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
                try:
                    host = urllib.parse.urlsplit(url).netloc
                    self.conn.request("GET", url, headers={"Host": host})
                    response = self.conn.getresponse()
                    body = response.read()
                    break
                except (http.client.HTTPException, OSError):
                    self.conn.close()
                    self.conn = None
                    if attempt:
                        raise
            if response.will_close:
                self.conn.close()
                self.conn = None
            fields = {name.lower(): value for name, value in response.getheaders()}
            if response.status not in (301, 302, 303, 307, 308) or not follow:
                return response.status, fields, body
            follow -= 1
            url = urllib.parse.urljoin(url, fields.get("location", ""))


class Stylesheets(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.hrefs = []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "link" and attrs.get("rel") == "stylesheet":
            self.hrefs.append(attrs["href"])


def png_pixels(path):
    """(width, height, rows of RGB tuples) of an 8-bit RGB or RGBA PNG, as Chromium writes."""
    with open(path, "rb") as f:
        data = f.read()
    at, chunks, width = 8, [], 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), (depth, colour)
            step = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            chunks.append(body)
        at += 12 + length
    raw = zlib.decompress(b"".join(chunks))
    stride = width * step
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - step] if i >= step else 0
            up = previous[i]
            corner = previous[i - step] if i >= step else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                best = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                line[i] = (line[i] + best) & 0xFF
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, step)])
        previous = line
    return width, height, rows


class RealSite(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="quillon-real-site-")
        cls.addClassCleanup(cls.tmp.cleanup)
        base = cls.tmp.name
        port = free_port()
        cls.origin = "http://127.0.0.1:%d" % port
        nginx = start_nginx(base, port)
        try:
            cls.mirror = os.path.join(base, "mirror")
            warc = os.path.join(base, "site")
            cls.warc = warc + ".warc.gz"
            finish([wget(cls.origin + "/", cls.mirror, "--adjust-extension"),
                    wget(cls.origin + "/", os.path.join(base, "for-warc"), "--warc-file=" + warc)])
        finally:
            nginx.terminate()
            nginx.wait(timeout=10)
            nginx.stderr.close()
        cls.discs = {"mirror": os.path.join(base, "mirror-disc"),
                     "warc": os.path.join(base, "warc-disc")}
        makers = [subprocess.Popen([e2e.ARGS.disc_tool, "create", cls.discs[name], *source],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                  for name, source in (("mirror", ["--from", cls.mirror]),
                                       ("warc", ["--from-warc", cls.warc]))]
        for maker in makers:
            output, _ = maker.communicate(timeout=300)
            assert maker.returncode == 0, output.decode(errors="replace")

    def served(self, disc):
        proxy = e2e.Proxy(disc, "--offline")
        self.addCleanup(lambda: self.assertEqual(proxy.stop(), 0, proxy.errors))
        return proxy

    def assert_all_come_back(self, disc, urls):
        proxy = self.served(disc)
        fetch = Fetcher(proxy.port)
        self.addCleanup(fetch.close)
        wrong = []
        for url in sorted(set(urls)):
            status, _, body = fetch.get(url)
            if status != 200 or body != original(url):
                wrong.append("%s: %d, %d bytes" % (url, status, len(body)))
        self.assertEqual(wrong, [], "%d of %d addresses" % (len(wrong), len(set(urls))))
        return proxy, fetch

    def captured(self):
        """Every address wget captured in either copy; each disc must answer them all."""
        records = warc_responses(self.warc)
        answered = [url for url, status, _ in records if status == 200]
        files = mirror_addresses(self.mirror, self.origin)
        self.assertGreater(len(answered), 500)
        self.assertGreater(len(files), 500)
        return records, answered + files

    def test_every_address_from_the_mirror_s_disc(self):
        _, urls = self.captured()
        _, fetch = self.assert_all_come_back(self.discs["mirror"], urls)
        self.check_stylesheets(fetch)

    def test_every_address_from_the_warc_s_disc(self):
        records, urls = self.captured()
        proxy, fetch = self.assert_all_come_back(self.discs["warc"], urls)
        self.check_stylesheets(fetch)
        # What was no page stays no page, and a moved address still leads where it did.
        for url, status, location in records:
            if status == 200:
                continue
            with self.subTest(url):
                got, fields, _ = fetch.get(url, follow=0)
                if location is None:
                    self.assertNotEqual(got, 200)
                else:
                    self.assertEqual((got // 100, fields.get("location")),
                                     (3, urllib.parse.urljoin(url, location)))
        # The page through the proxy is drawn with its theme (unstyled, it has no such grey).
        png = os.path.join(self.tmp.name, "page.png")
        errors = chromium.screenshot(self.origin + "/" + STYLED_PAGE, png, proxy.port,
                                     proxy_loopback=True)  # the site is on 127.0.0.1 too
        self.assertTrue(os.path.exists(png), errors[-2000:])
        _, _, rows = png_pixels(png)
        grey = sum(row.count(SIDEBAR_GREY) for row in rows)
        self.assertGreater(grey, 10000, "the sidebar's grey is missing: the page is unstyled")

    def check_stylesheets(self, fetch):
        """Each page's <link> stylesheets come back as nginx sent them (with their queries)."""
        for page in ("index.html", STYLED_PAGE):
            links = Stylesheets()
            links.feed(original(self.origin + "/" + page).decode())
            self.assertIn("../_static/pydoctheme.css?2022.1" if "/" in page else
                          "_static/pydoctheme.css?2022.1", links.hrefs)
            for href in links.hrefs:
                url = urllib.parse.urljoin(self.origin + "/" + page, href)
                status, fields, body = fetch.get(url)
                kind = fields.get("content-type", "").split(";")[0]
                self.assertEqual((status, kind, body),
                                 (200, "text/css", original(url)), url)


def main():
    missing = [what for what, present in (
        ("nginx", shutil.which("nginx") or os.path.exists("/usr/sbin/nginx")),
        ("wget", shutil.which("wget")),
        ("python3.11-doc", os.path.exists(os.path.join(SITE, STYLED_PAGE))),
        ("chromium", chromium.available())) if not present]
    if missing:
        print("skipped: %s not installed (make deps-browser installs them)" % ", ".join(missing))
        sys.exit(SKIP)
    e2e.run_suite()


if __name__ == "__main__":
    main()
