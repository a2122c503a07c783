#!/usr/bin/env python3
"""https:// pages of a disc through quillon-proxy: a CONNECT to a host the disc holds is answered
with a certificate from the proxy's own authority, and the requests inside go through the filter
like plain ones (disc copies, revalidation against a TLS origin, the fallback when the origin's
certificate fails); every other CONNECT stays a tunnel. With Chromium installed, a real browser
trusting the authority through an NSS database loads a page and its image."""

import argparse
import http.client
import http.server
import os
import shutil
import socket
import ssl
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import chromium  # noqa: E402
import proxy_e2e_test as e2e  # noqa: E402  (the end-to-end test's proxy helpers)

SECURE = "secure.example"


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def make_origin_certificates(folder):
    """A test authority, a certificate it signs for 127.0.0.1, and a self-signed one."""
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", "origin-ca.key", "-out", "origin-ca.pem", "-days", "2", "-subj",
            "/CN=quillon test origin authority", cwd=folder)
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            "good.key", "-out", "good.csr", "-subj", "/CN=127.0.0.1", cwd=folder)
    with open(os.path.join(folder, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "good.csr", "-CA", "origin-ca.pem", "-CAkey", "origin-ca.key",
            "-CAcreateserial", "-out", "good.pem", "-days", "2", "-extfile", "san.ext", cwd=folder)
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", "bad.key", "-out", "bad.pem", "-days", "2", "-subj", "/CN=127.0.0.1",
            "-addext", "subjectAltName=IP:127.0.0.1", cwd=folder)
    # Chains to the trusted authority but names its host in the subject's CN alone.
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            "cn-only.key", "-out", "cn-only.csr", "-subj", "/CN=localhost", cwd=folder)
    openssl("x509", "-req", "-in", "cn-only.csr", "-CA", "origin-ca.pem", "-CAkey",
            "origin-ca.key", "-CAcreateserial", "-out", "cn-only.pem", "-days", "2", cwd=folder)


def sign_with(folder, ca_dir, name, san):
    """A leaf for `san` signed with the local authority's own key, as a thief of that key would
    sign one: what verifiers make of it is up to the authority's name constraints."""
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            name + ".key", "-out", name + ".csr", "-subj", "/O=leaf", cwd=folder)
    with open(os.path.join(folder, name + ".ext"), "w") as f:
        f.write("subjectAltName=%s\nextendedKeyUsage=serverAuth\n" % san)
    openssl("x509", "-req", "-in", name + ".csr", "-CA", os.path.join(ca_dir, "ca.pem"), "-CAkey",
            os.path.join(ca_dir, "ca.key"), "-CAcreateserial", "-out", name + ".pem", "-days", "2",
            "-extfile", name + ".ext", cwd=folder)
    return os.path.join(folder, name + ".pem")


def png():
    """A 1x1 image a browser decodes."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(b"\x00\xff\x00\x00")) + chunk(b"IEND", b""))


class Origin(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    peers = {}  # path: the client address it came from


    def log_message(self, *args):
        pass

    def do_GET(self):
        Origin.peers[self.path] = self.client_address
        if self.path.startswith("/stale-304"):
            self.send_response(304)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = b"network copy of " + self.path.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def tls_origin(folder, name):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Origin)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key"))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    return e2e.start_server(server)


class HttpsThroughTheProxy(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="quillon-https-")
        base = cls.tmp.name
        make_origin_certificates(base)
        cls.good = tls_origin(base, "good")
        cls.bad = tls_origin(base, "bad")
        cls.cn_only = tls_origin(base, "cn-only")
        cls.cn_only_port = cls.cn_only.server_address[1]
        cls.other = tls_origin(base, "good")  # holds nothing of the disc
        cls.good_port = cls.good.server_address[1]
        cls.bad_port = cls.bad.server_address[1]
        cls.other_port = cls.other.server_address[1]
        files = os.path.join(base, "files")
        e2e.write(os.path.join(files, "page.html"),
                  "<title>Secure</title><p>secure disc page</p>"
                  "<img src='/pic.png' onload='document.body.dataset.picture=\"shown\"'>")
        e2e.write(os.path.join(files, "pic.png"), png())
        e2e.write(os.path.join(files, "stale.html"), "disc copy of stale")
        cls.big = os.urandom(3 * 1024 * 1024)
        with open(os.path.join(files, "big.bin"), "wb") as f:
            f.write(cls.big)
        cls.disc = os.path.join(base, "disc")
        tool = e2e.ARGS.disc_tool
        e2e.write(os.path.join(base, "mirror", "plain.example", "index.html"), "plain page")
        subprocess.run([tool, "create", cls.disc, "--from", os.path.join(base, "mirror")],
                       check=True, capture_output=True)
        adds = [("https://%s/" % SECURE, "page.html", []),
                ("https://%s/pic.png" % SECURE, "pic.png", []),
                ("https://%s/big.bin" % SECURE, "big.bin", [])]
        for port in (cls.good_port, cls.bad_port):
            for name in ("stale-304.html", "stale-200.html"):
                adds.append(("https://127.0.0.1:%d/%s" % (port, name), "stale.html",
                             ["--stale-after", "1s"]))
        adds.append(("https://localhost:%d/stale-200.html" % cls.cn_only_port, "stale.html",
                     ["--stale-after", "1s"]))
        for url, name, extra in adds:
            subprocess.run([tool, "add", cls.disc, url, os.path.join(files, name), *extra],
                           check=True, capture_output=True)
        stale_from = time.time() + 2  # the stale copies count as stale once a second has passed
        cls.ca_dir = os.path.join(base, "ca")
        cls.proxy = e2e.Proxy(cls.disc, "--ca-dir", cls.ca_dir, "--origin-ca",
                              os.path.join(base, "origin-ca.pem"), "--connect-ports",
                              "443,%d" % cls.other_port)
        cls.client = ssl.create_default_context(cafile=os.path.join(cls.ca_dir, "ca.pem"))
        time.sleep(max(0.0, stale_from - time.time()))

    @classmethod
    def tearDownClass(cls):
        code = cls.proxy.stop()
        for server in (cls.good, cls.bad, cls.other, cls.cn_only):
            server.shutdown()
        cls.tmp.cleanup()
        assert code == 0, "proxy exit code %d after SIGTERM: %s" % (code, "\n".join(cls.proxy.errors[:80]))

    def logged(self, text, proxy=None):
        """The access log's lines with `text`: a line is written after its answer went out, so
        it may come a moment after the answer."""
        deadline = time.time() + 5
        while True:
            lines = [entry for entry in (proxy or self.proxy).log if text in entry]
            if lines or time.time() > deadline:
                return lines
            time.sleep(0.05)

    def fetch(self, host, port, path, context=None, headers=None, proxy=None):
        conn = http.client.HTTPSConnection("127.0.0.1", (proxy or self.proxy).port, timeout=10,
                                           context=context or self.client)
        conn.set_tunnel(host, port)
        conn.connect()
        certificate = conn.sock.getpeercert()
        conn.request("GET", path, headers=headers or {})
        response = conn.getresponse()
        body = response.read()
        conn.close()
        return response.status, body, certificate

    def test_requests_inside_an_intercepted_tunnel(self):
        rows = [
            # host, port, path, status, part of the body, who answered (access log)
            (SECURE, 443, "/", 200, b"secure disc page", "filter"),
            (SECURE, 443, "/pic.png", 200, b"\x89PNG", "filter"),
            ("127.0.0.1", self.good_port, "/stale-304.html", 200, b"disc copy of stale",
             "disc-fallback"),
            ("127.0.0.1", self.good_port, "/stale-200.html", 200, b"network copy of", "network"),
            # The origin's certificate chains to no trusted authority: the disc copy stands in.
            ("127.0.0.1", self.bad_port, "/stale-200.html", 200, b"disc copy of stale",
             "disc-fallback"),
            # The origin's certificate names the host in its CN alone, which browsers ignore.
            ("localhost", self.cn_only_port, "/stale-200.html", 200, b"disc copy of stale",
             "disc-fallback"),
        ]
        for host, port, path, status, body, answer in rows:
            with self.subTest(host=host, port=port, path=path):
                got, content, certificate = self.fetch(host, port, path)
                self.assertEqual(got, status, content)
                self.assertIn(body, content)
                issuer = dict(item for part in certificate["issuer"] for item in part)
                self.assertEqual(issuer.get("organizationName"), "Quillon")
                url = "https://%s%s%s" % (host, "" if port == 443 else ":%d" % port, path)
                logged = self.logged('"GET %s HTTP/1.1" %d ' % (url, status))
                self.assertTrue(logged and logged[-1].split()[-2] == answer, self.proxy.log)

    def test_other_hosts_are_tunnelled_and_tunnels_keep_to_their_host(self):
        # Not on the disc: the origin's own certificate comes through the tunnel.
        origin = ssl.create_default_context(cafile=os.path.join(self.tmp.name, "origin-ca.pem"))
        status, body, certificate = self.fetch("127.0.0.1", self.other_port, "/elsewhere.html",
                                               context=origin)
        self.assertEqual((status, body), (200, b"network copy of /elsewhere.html"))
        subject = dict(item for part in certificate["subject"] for item in part)
        self.assertEqual(subject.get("commonName"), "127.0.0.1")
        # Inside an intercepted tunnel, a request for another host is refused.
        for path, headers in (("/", {"Host": "other.example"}),
                              # an absolute target, even one naming the tunnel's own host
                              ("https://other.example/", {}),
                              ("https://%s/" % SECURE, {})):
            status, body, _ = self.fetch(SECURE, 443, path, headers=headers)
            self.assertEqual(status, 421, (path, body))

    def test_slow_idle_and_kept_browsers_inside_a_tunnel(self):
        # The requests inside a tunnel are served on the browser's TLS itself: a browser that
        # stops reading holds its own connection only, a silent one is closed, a kept one goes on.
        proxy = e2e.Proxy(self.disc, "--ca-dir", self.ca_dir, "--threads", "2",
                          "--read-timeout", "30", "--head-timeout", "1")

        def tunnel(receive_buffer=None):
            sock = socket.socket()
            if receive_buffer:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
            sock.settimeout(10)
            sock.connect(("127.0.0.1", proxy.port))
            sock.sendall(b"CONNECT %s:443 HTTP/1.1\r\nHost: %s:443\r\n\r\n" %
                         (SECURE.encode(), SECURE.encode()))
            established = sock.recv(4096)
            self.assertTrue(established.startswith(b"HTTP/1.1 200 "), established)
            return self.client.wrap_socket(sock, server_hostname=SECURE)

        slow = []
        try:
            kept = http.client.HTTPSConnection("127.0.0.1", proxy.port, timeout=10,
                                               context=self.client)
            kept.set_tunnel(SECURE, 443)
            for path, body in (("/", None), ("/big.bin", self.big), ("/", None)):
                kept.request("GET", path)
                response = kept.getresponse()
                got = response.read()
                self.assertEqual(response.status, 200, path)
                self.assertTrue(body is None or got == body, (path, len(got)))
            kept.close()
            for _ in range(6):  # more than the threads
                sock = tunnel(receive_buffer=4096)
                sock.sendall(b"GET /big.bin HTTP/1.1\r\nHost: %s\r\n\r\n" % SECURE.encode())
                slow.append(sock)
            time.sleep(0.5)  # their sockets are full by now
            started = time.time()
            for _ in range(5):
                self.assertEqual(self.fetch(SECURE, 443, "/", proxy=proxy)[0], 200)
            # Held behind a slow reader, a request would wait for its 30 s read timeout.
            self.assertLess(time.time() - started, 5)
            silent = tunnel()
            started = time.time()
            self.assertEqual(silent.recv(4096), b"")  # closed after the head timeout
            self.assertLess(time.time() - started, 5)
            silent.close()
        finally:
            for sock in slow:
                sock.close()
            self.assertEqual(proxy.stop(), 0)

    def test_a_failed_handshake_is_logged_as_such(self):
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as sock:
            sock.sendall(b"CONNECT %s:443 HTTP/1.1\r\nHost: %s:443\r\n\r\n" %
                         (SECURE.encode(), SECURE.encode()))
            established = sock.recv(4096)
            self.assertTrue(established.startswith(b"HTTP/1.1 200 "), established)
            sock.sendall(b"GET / HTTP/1.1\r\nHost: %s\r\n\r\n" % SECURE.encode())
            sock.recv(4096)  # the proxy's TLS alert, or the end
        lines = self.logged('"CONNECT %s:443 HTTP/1.1" 400 ' % SECURE)
        self.assertTrue(lines and lines[-1].split()[-1] == "tls-handshake", self.proxy.log)

    def test_a_tls_origin_connection_is_kept_for_the_next_request(self):
        conn = http.client.HTTPSConnection("127.0.0.1", self.proxy.port, timeout=10,
                                           context=self.client)
        conn.set_tunnel("127.0.0.1", self.good_port)
        for path in ("/kept-1.html", "/kept-2.html"):
            conn.request("GET", path)
            response = conn.getresponse()
            self.assertEqual((response.status, response.read()),
                             (200, b"network copy of " + path.encode()))
        conn.close()
        self.assertEqual(Origin.peers["/kept-1.html"], Origin.peers["/kept-2.html"])

    def test_the_start_page_and_the_pac_file_name_the_secure_site(self):
        status, _, page = self.proxy.request("http://start.quillon.internal/")
        self.assertEqual(status, 200)
        self.assertIn(b'<a href="https://%s/">%s (https)</a>' % (SECURE.encode(), SECURE.encode()),
                      page)
        pac = self.proxy.raw(b"GET /proxy.pac HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                             b"Connection: close\r\n\r\n" % self.proxy.port)
        self.assertTrue(pac.startswith(b"HTTP/1.1 200 "), pac)
        self.assertIn(b'host == "%s"' % SECURE.encode(), pac)

    def test_the_authority_is_kept_private_and_reused(self):
        key = os.stat(os.path.join(self.ca_dir, "ca.key"))
        self.assertEqual(stat.S_IMODE(key.st_mode), 0o600)
        with open(os.path.join(self.ca_dir, "ca.pem"), "rb") as f:
            before = f.read()
        again = e2e.Proxy(self.disc, "--ca-dir", self.ca_dir)
        try:
            self.assertEqual(self.fetch(SECURE, 443, "/", proxy=again)[0], 200)
        finally:
            self.assertEqual(again.stop(), 0)
        with open(os.path.join(self.ca_dir, "ca.pem"), "rb") as f:
            self.assertEqual(f.read(), before)

    def browse(self, proxy_port, url):
        """The DOM headless Chromium shows for `url` through the proxy, trusting its authority
        through an NSS database in a HOME of its own; None without Chromium or certutil. With no
        proxy port, every name goes straight to 127.0.0.1."""
        if not chromium.available(trust_authority=True):
            return None
        # Loopback addresses go through the proxy too (a site saved from one).
        dom, errors = chromium.dump_dom(url, proxy_port, os.path.join(self.ca_dir, "ca.pem"),
                                        proxy_loopback=True)
        return dom + errors

    def test_the_authority_signs_only_the_discs_names(self):
        # Leaves signed with the authority's key itself: the name constraints decide.
        rows = [
            # name, subjectAltName, accepted
            ("inside-name", "DNS:www." + SECURE, True),
            ("inside-address", "IP:127.0.0.1", True),
            ("outside-name", "DNS:outside.example", False),
            ("outside-suffix", "DNS:not" + SECURE, False),
            ("outside-address", "IP:10.1.2.3", False),
            ("outside-v6", "IP:::1", False),
            ("outside-among-inside", "DNS:www.%s,DNS:outside.example" % SECURE, False),
        ]
        folder = os.path.join(self.tmp.name, "leaves")
        os.makedirs(folder, exist_ok=True)
        ca = os.path.join(self.ca_dir, "ca.pem")
        for name, san, accepted in rows:
            with self.subTest(name=name):
                leaf = sign_with(folder, self.ca_dir, name, san)
                verdict = subprocess.run(["openssl", "verify", "-CAfile", ca, "-purpose",
                                          "sslserver", leaf], capture_output=True, text=True)
                self.assertEqual(verdict.returncode == 0, accepted, verdict.stdout + verdict.stderr)
        days = subprocess.run(["openssl", "x509", "-in", ca, "-noout", "-checkend",
                               str(731 * 86400)], capture_output=True)
        self.assertEqual(days.returncode, 1, "the authority lives past two years")
        # A browser trusting the authority through NSS agrees.
        for name, host, accepted in (("inside-name", "www." + SECURE, True),
                                     ("outside-name", "outside.example", False)):
            with self.subTest(browser=name):
                server = tls_origin(folder, name)
                try:
                    dom = self.browse(None, "https://%s:%d/constrained.html"
                                      % (host, server.server_address[1]))
                finally:
                    server.shutdown()
                    server.server_close()
                if dom is None:
                    self.skipTest("chromium or certutil is not installed (make deps-browser "
                                  "installs them)")
                self.assertEqual("network copy of /constrained.html" in dom, accepted, dom[-2000:])

    def test_a_disc_host_outside_the_authority_is_tunnelled_until_renewed(self):
        # An authority made for a disc of the secure site alone, then used for this disc.
        small = os.path.join(self.tmp.name, "small")
        files = os.path.join(self.tmp.name, "files")
        subprocess.run([e2e.ARGS.disc_tool, "create", small, "--from",
                        os.path.join(self.tmp.name, "mirror")], check=True, capture_output=True)
        subprocess.run([e2e.ARGS.disc_tool, "add", small, "https://%s/" % SECURE,
                        os.path.join(files, "page.html")], check=True, capture_output=True)
        ca_dir = os.path.join(self.tmp.name, "small-ca")
        e2e.Proxy(small, "--ca-dir", ca_dir).stop()
        origin = ssl.create_default_context(cafile=os.path.join(self.tmp.name, "origin-ca.pem"))
        for renew, outside in ((False, True), (True, False)):
            with self.subTest(renew=renew):
                proxy = e2e.Proxy(self.disc, "--ca-dir", ca_dir, "--origin-ca",
                                  os.path.join(self.tmp.name, "origin-ca.pem"), "--connect-ports",
                                  "443,%d" % self.good_port, *(["--renew-ca"] if renew else []))
                try:
                    client = ssl.create_default_context(cafile=os.path.join(ca_dir, "ca.pem"))
                    conn = http.client.HTTPSConnection("127.0.0.1", proxy.port, timeout=10,
                                                       context=origin if outside else client)
                    conn.set_tunnel("127.0.0.1", self.good_port)
                    conn.connect()
                    issuer = dict(item for part in conn.sock.getpeercert()["issuer"]
                                  for item in part)
                    conn.close()
                    self.assertEqual(issuer.get("organizationName") == "Quillon", not outside)
                    # The secure site stays intercepted either way.
                    conn = http.client.HTTPSConnection("127.0.0.1", proxy.port, timeout=10,
                                                       context=client)
                    conn.set_tunnel(SECURE, 443)
                    conn.request("GET", "/")
                    self.assertEqual(conn.getresponse().status, 200)
                    conn.close()
                finally:
                    self.assertEqual(proxy.stop(), 0)
                start = " ".join(line.strip() for line in proxy.errors)  # complete once stopped
                self.assertEqual("may not sign for these https:// hosts of the disc, which are "
                                 "tunnelled, not served from it: 127.0.0.1 localhost" in start,
                                 outside, start)
                self.assertEqual("--renew-ca makes a new authority" in start, outside, start)
                self.assertEqual("made now: renewed by --renew-ca" in start, renew, start)

    def test_a_real_browser_trusting_the_authority(self):
        dom = self.browse(self.proxy.port, "https://%s/" % SECURE)
        if dom is None:
            self.skipTest("chromium or certutil is not installed (make deps-browser installs them)")
        self.assertIn("secure disc page", dom)
        self.assertIn('data-picture="shown"', dom)

    def test_a_site_saved_over_https_in_a_warc_browsed_offline(self):
        if shutil.which("wget") is None:
            self.skipTest("wget is not installed")
        base = os.path.join(self.tmp.name, "saved")
        site = os.path.join(base, "site")
        e2e.write(os.path.join(site, "index.html"),
                  "<title>Saved</title><p>saved over https</p><a href='more.html'>more</a>"
                  "<img src='pic.png' onload='document.body.dataset.picture=\"shown\"'>")
        e2e.write(os.path.join(site, "more.html"), "<p>the second saved page</p>")
        e2e.write(os.path.join(site, "pic.png"), png())

        class Site(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=site, **kwargs)

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Site)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(self.tmp.name, "good.pem"),
                                os.path.join(self.tmp.name, "good.key"))
        server.socket = context.wrap_socket(server.socket, server_side=True)
        e2e.start_server(server)
        origin = "https://127.0.0.1:%d/" % server.server_address[1]
        warc = os.path.join(base, "site")
        try:
            saved = subprocess.run(
                ["wget", "--no-verbose", "--recursive", "--level=1", "--page-requisites",
                 "--no-directories", "--delete-after", "-e", "robots=off", "--no-proxy",
                 "--ca-certificate=" + os.path.join(self.tmp.name, "origin-ca.pem"),
                 "--warc-file=" + warc, origin],
                capture_output=True, text=True, timeout=120, cwd=base)
            self.assertEqual(saved.returncode, 0, saved.stderr)
        finally:
            server.shutdown()
            server.server_close()  # the network is down from here on
        disc = os.path.join(base, "disc")
        made = subprocess.run([e2e.ARGS.disc_tool, "create", disc, "--from-warc", warc + ".warc.gz"],
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(made.returncode, 0, made.stderr)
        offline = e2e.Proxy(disc, "--offline", "--ca-dir", self.ca_dir)
        try:
            conn = http.client.HTTPSConnection("127.0.0.1", offline.port, timeout=10,
                                               context=self.client)
            conn.set_tunnel("127.0.0.1", server.server_address[1])
            for path, text in (("/", b"saved over https"), ("/more.html", b"second saved page"),
                               ("/pic.png", b"\x89PNG")):
                conn.request("GET", path)
                response = conn.getresponse()
                self.assertEqual((response.status, text in response.read()), (200, True), path)
            conn.close()
            dom = self.browse(offline.port, origin)
        finally:
            self.assertEqual(offline.stop(), 0)
        if dom is None:
            self.skipTest("chromium or certutil is not installed (make deps-browser installs them)")
        self.assertIn("saved over https", dom)
        self.assertIn('data-picture="shown"', dom)
        self.assertTrue(self.logged('"GET %spic.png HTTP/1.1" 200' % origin, offline))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--disc-tool", required=True)
    parser.add_argument("--filter", required=True)
    parser.add_argument("--sanitized", action="store_true")
    args, rest = parser.parse_known_args()
    e2e.ARGS = args
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
