#!/usr/bin/env python3
"""https_load against a local TLS server, straight and through quillon-proxy's CONNECT tunnel: it
counts answers, keeps connections alive or makes one per request, and reports every failed
verification, refused CONNECT and non-2xx answer instead of passing it as load."""

import argparse
import http.server
import os
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "host"))
import proxy_e2e_test as e2e  # noqa: E402  (the end-to-end test's proxy helpers)

HOST = "bench.example"
PAGE = b"x" * 4096


class Page(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        found = self.path == "/page.html"
        body = PAGE if found else b"not here"
        self.send_response(200 if found else 404)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class CountingServer(http.server.ThreadingHTTPServer):
    """Counts accepted connections, so a run's connection reuse shows."""

    accepted = 0

    def get_request(self):
        request = super().get_request()
        self.accepted += 1
        return request


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def make_ca(directory, name):
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-days", "2", "-subj", "/CN=" + name, "-addext", "basicConstraints=critical,CA:TRUE",
            "-keyout", name + ".key", "-out", name + ".pem", cwd=directory)


class HttpsLoad(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="quillon-https-load-")
        d = cls.tmp.name
        make_ca(d, "ca")
        make_ca(d, "stranger")
        openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj",
                "/CN=" + HOST, "-keyout", "site.key", "-out", "site.csr", cwd=d)
        e2e.write(os.path.join(d, "site.ext"), "subjectAltName=DNS:%s\n" % HOST)
        openssl("x509", "-req", "-in", "site.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", "2", "-extfile", "site.ext", "-out", "site.pem", cwd=d)
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(os.path.join(d, "site.pem"), os.path.join(d, "site.key"))
        cls.server = CountingServer(("127.0.0.1", 0), Page)
        cls.server.socket = tls.wrap_socket(cls.server.socket, server_side=True)
        e2e.start_server(cls.server)
        cls.tls_port = cls.server.server_address[1]
        cls.proxy = e2e.Proxy("", "--no-intercept", "--connect-ports", "443,%d" % cls.tls_port)

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.server.shutdown()
        cls.tmp.cleanup()

    def run_load(self, *args, host=HOST, cacert="ca.pem", path="/page.html"):
        command = [ARGS.https_load, "--host", host, "--path", path, "--cacert",
                   os.path.join(self.tmp.name, cacert), "-c", "2", "-d", "500ms", *args]
        done = subprocess.run(command, capture_output=True, text=True, timeout=60)
        fields = dict(word.split("=", 1) for word in done.stdout.split())
        return done.returncode, fields, done.stderr

    def test_runs(self):
        direct = ("--connect", "127.0.0.1:%d" % self.tls_port)
        tunnel = ("--proxy", "127.0.0.1:%d" % self.proxy.port,
                  "--connect-target", "127.0.0.1:%d" % self.tls_port)
        refused = ("--proxy", "127.0.0.1:%d" % self.proxy.port,
                   "--connect-target", "127.0.0.1:%d" % (self.tls_port + 1))
        # name, arguments, keyword arguments, exit code, answers counted, non-2xx, error text
        rows = [
            ("kept alive", direct, {}, 0, True, False, ""),
            ("handshake each", direct + ("--handshakes",), {}, 0, True, False, ""),
            ("tunnel kept alive", tunnel, {}, 0, True, False, ""),
            ("tunnel handshake each", tunnel + ("--handshakes",), {}, 0, True, False, ""),
            ("resumed each", direct + ("--handshakes", "--resume"), {}, 0, True, False, ""),
            ("other host name", direct, {"host": "other.example"}, 1, False, False,
             "certificate verify failed"),
            ("other CA", direct, {"cacert": "stranger.pem"}, 1, False, False,
             "certificate verify failed"),
            ("missing page", direct, {"path": "/missing"}, 1, True, True, ""),
            ("port not allowed", refused, {}, 1, False, False, "CONNECT answered 403"),
        ]
        for name, args, options, code, answered, non2xx, error in rows:
            with self.subTest(name):
                before = self.server.accepted
                got, fields, stderr = self.run_load(*args, **options)
                accepted = self.server.accepted - before
                self.assertEqual(got, code, stderr)
                requests = int(fields["requests"])
                self.assertEqual(requests > 0, answered, fields)
                self.assertEqual(int(fields["non2xx"]), requests if non2xx else 0, fields)
                self.assertEqual(int(fields["errors"]) > 0, bool(error), stderr)
                self.assertIn(error, stderr)
                # Only --resume offers tickets; the server takes them after the first connection.
                self.assertEqual(int(fields["resumed"]) > 0, answered and "--resume" in args,
                                 fields)
                if answered and "--handshakes" in args:
                    # One connection per answer; a few more were cut short by the deadline.
                    self.assertGreaterEqual(accepted, requests)
                    self.assertLessEqual(accepted, requests + 2)
                elif answered:
                    self.assertEqual(accepted, 2)  # -c 2, each kept for the whole run

    def test_bad_arguments(self):
        for args in [(), ("--connect", "127.0.0.1:1", "--proxy", "127.0.0.1:2"),
                     ("--connect", "127.0.0.1:1", "--connect-target", "a:443"),
                     ("--connect", "127.0.0.1:1", "-c", "0"),
                     ("--connect", "127.0.0.1:1", "--resume")]:
            with self.subTest(args=args):
                got, _, _ = self.run_load(*args)
                self.assertEqual(got, 2)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--https-load", required=True)
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--filter", required=True)
    ARGS, rest = parser.parse_known_args()
    e2e.ARGS = ARGS
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
