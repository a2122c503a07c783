#!/usr/bin/env python3
"""quillon-proxy end to end: the real proxy on an ephemeral port, a disc made by quillon-disc,
and a network server of the test's own on 127.0.0.1 only."""

import argparse
import http.client
import http.server
import os
import signal
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None
BIG_SIZE = 100 * 1024 * 1024


class Upstream(http.server.BaseHTTPRequestHandler):
    """The network: answers by path, and records what reached it."""

    protocol_version = "HTTP/1.1"
    seen = []

    def log_message(self, *args):
        pass

    def do_GET(self):
        Upstream.seen.append((self.path, dict(self.headers)))
        path = self.path.split("?")[0]
        if path.endswith("/stale-304.html"):
            self.send_response(304)
            self.end_headers()
        elif path.endswith("/stale-500.html"):
            self.reply(500, b"network failure")
        elif path.endswith("/stale-200.html") or path == "/fresh.html":
            self.reply(200, b"network copy of " + path.encode())
        elif path == "/chunked":
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for part in (b"first ", b"second ", b"third"):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.reply(404, b"not here")

    def reply(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        while True:
            data = self.request.recv(4096)
            if not data:
                return
            self.request.sendall(data)


def start_server(server):
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return server


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


class Proxy:
    def __init__(self, disc, *extra):
        env = dict(os.environ, PATH="/nonexistent")  # the launch route must open nothing here
        self.process = subprocess.Popen(
            [ARGS.proxy, "--listen", "127.0.0.1:0", "--filter", ARGS.filter, "--disc", disc,
             "--head-timeout", "1", "--read-timeout", "5", "--connect-timeout", "3", *extra],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        line = self.process.stderr.readline().decode()
        if "listening on" not in line:
            raise RuntimeError("proxy did not start: " + line)
        self.port = int(line.rsplit(":", 1)[1])
        self.log = []
        self.reader = threading.Thread(target=self._read_log, daemon=True)
        self.reader.start()

    def _read_log(self):
        for line in self.process.stdout:
            self.log.append(line.decode().rstrip("\n"))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=10)
        self.reader.join(timeout=5)
        self.process.stdout.close()
        self.process.stderr.close()
        return code

    def request(self, url, headers=None, method="GET"):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request(method, url, headers=headers or {})
        response = conn.getresponse()
        body = response.read()
        conn.close()
        return response.status, dict(response.getheaders()), body

    def raw(self, data, timeout=5):
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(data)
            chunks = []
            while True:
                try:
                    chunk = s.recv(65536)
                except socket.timeout:
                    break
                if not chunk:
                    break
                chunks.append(chunk)
            return b"".join(chunks)

    def last_log(self, fragment):
        deadline = time.time() + 3
        while time.time() < deadline:
            for line in reversed(self.log):
                if fragment in line:
                    return line
            time.sleep(0.02)
        return ""

    def peak_memory_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0


class ProxyEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="quillon-e2e-")
        base = cls.tmp.name
        cls.upstream = start_server(http.server.ThreadingHTTPServer(("127.0.0.1", 0), Upstream))
        cls.net = "127.0.0.1:%d" % cls.upstream.server_address[1]
        cls.echo = start_server(socketserver.ThreadingTCPServer(("127.0.0.1", 0), Echo))

        mirror = os.path.join(base, "mirror")
        site = os.path.join(mirror, cls.net)
        write(os.path.join(site, "index.html"), "<h1>disc home</h1><img src='pic.gif'>")
        write(os.path.join(site, "pic.gif"), b"GIF89a-disc-picture")
        write(os.path.join(site, "fresh.html"), "disc copy of fresh")
        write(os.path.join(mirror, "127.0.0.1:1", "gone.html"), "disc copy of gone")
        with open(os.path.join(site, "big.bin"), "wb") as f:
            f.truncate(BIG_SIZE)
        extra = os.path.join(base, "extra")
        write(os.path.join(extra, "docs", "lummisc0", "logo.gif"), b"GIF89a-logo")
        write(os.path.join(extra, "program", "readme.txt"), "readme on the disc")
        write(os.path.join(base, "secret.txt"), "must never be served")
        cls.disc = os.path.join(base, "disc")
        tool = ARGS.disc_tool
        subprocess.run([tool, "create", cls.disc, "--from", mirror, "--extra", extra], check=True,
                       stdout=subprocess.DEVNULL)
        for name in ("stale-304.html", "stale-500.html", "stale-200.html"):
            page = os.path.join(base, name)
            write(page, "disc copy of " + name)
            subprocess.run([tool, "add", cls.disc, "http://%s/%s" % (cls.net, name), page,
                            "--stale-after", "0s"], check=True, stdout=subprocess.DEVNULL)
        unreachable = os.path.join(base, "unreachable.html")
        write(unreachable, "disc copy of unreachable")
        subprocess.run([tool, "add", cls.disc, "http://127.0.0.1:1/unreachable.html", unreachable,
                        "--stale-after", "0s"], check=True, stdout=subprocess.DEVNULL)
        bookmarks = os.path.join(base, "bookmarks.htm")
        write(bookmarks, "<h1>bookmarks</h1>")
        subprocess.run([tool, "add", cls.disc, "http://bookmarks.quillon.internal/", bookmarks],
                       check=True, stdout=subprocess.DEVNULL)
        time.sleep(1.2)  # the stale pages are now past their time
        cls.proxy = Proxy(cls.disc, "--connect-ports", "443,%d" % cls.echo.server_address[1])

    @classmethod
    def tearDownClass(cls):
        code = cls.proxy.stop()
        cls.upstream.shutdown()
        cls.echo.shutdown()
        cls.tmp.cleanup()
        assert code == 0, "proxy exit code %d after SIGTERM" % code

    def url(self, path):
        return "http://%s/%s" % (self.net, path)

    def test_catalogued_page_from_the_disc(self):
        status, headers, body = self.proxy.request(self.url("index.html"))
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "text/html")
        self.assertIn(b"disc home", body)
        self.assertTrue(self.proxy.last_log("/index.html").endswith(" filter"))

    def test_stale_pages_fall_back_to_the_disc(self):
        cases = [
            ("stale-304.html", 200, b"disc copy of stale-304.html", "disc-fallback"),
            ("stale-500.html", 200, b"disc copy of stale-500.html", "disc-fallback"),
            ("stale-200.html", 200, b"network copy of /stale-200.html", "network"),
        ]
        for name, status, body, who in cases:
            with self.subTest(name):
                got_status, _, got_body = self.proxy.request(self.url(name))
                self.assertEqual((got_status, got_body), (status, body))
                self.assertTrue(self.proxy.last_log(name).endswith(" " + who))
        # The network was asked with the disc copy's date.
        asked = [h for p, h in Upstream.seen if p == "/stale-200.html"]
        self.assertTrue(asked and "If-Modified-Since" in asked[-1])
        self.assertIn("Via", asked[-1])
        # Unreachable network: the proxy's own 502 is replaced by the disc copy.
        status, _, body = self.proxy.request("http://127.0.0.1:1/unreachable.html")
        self.assertEqual((status, body), (200, b"disc copy of unreachable"))

    def test_live_route(self):
        live = "http://live.quillon.internal/"
        status, _, body = self.proxy.request(live + "http:/" + self.net + "/fresh.html")
        self.assertEqual((status, body), (200, b"network copy of /fresh.html"))
        status, headers, _ = self.proxy.request(
            live + "pics/a.gif", headers={"Referer": live + "http://" + self.net + "/dir/p.html"})
        self.assertEqual(status, 302)
        self.assertEqual(headers["Location"], "http://%s/pics/a.gif" % self.net)

    def test_options_launch_bookmarks_and_shared_folder(self):
        status, _, _ = self.proxy.request("http://options.quillon.internal/")
        self.assertEqual(status, 204)
        status, _, _ = self.proxy.request("http://direct.quillon.internal/http://quillon.internal/program/readme.txt")
        self.assertEqual(status, 204)
        status, _, body = self.proxy.request(self.url("lummisc0/bookmark.htm"))
        self.assertEqual((status, body), (200, b"<h1>bookmarks</h1>"))
        status, headers, body = self.proxy.request("http://anyhost.example/x/lummisc0/logo.gif")
        self.assertEqual((status, body, headers["Content-Type"]), (200, b"GIF89a-logo", "image/gif"))
        status, _, body = self.proxy.request("http://quillon.internal/program/readme.txt")
        self.assertEqual((status, body), (200, b"readme on the disc"))
        status, _, _ = self.proxy.request("http://quillon.internal/program/setup.exe")
        self.assertEqual(status, 501)

    def test_paths_never_leave_the_disc(self):
        for target in (b"http://quillon.internal/program/../../secret.txt",
                       b"http://quillon.internal/..",
                       b"http://anyhost.example/lummisc0/..\\..\\..\\secret.txt"):
            with self.subTest(target):
                answer = self.proxy.raw(b"GET " + target + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                self.assertTrue(answer.startswith(b"HTTP/1.1 404"), answer[:80])
                self.assertNotIn(b"must never be served", answer)

    def test_keep_alive_across_filter_and_network_answers(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.proxy.port, timeout=10)
        sockets = set()
        for path in ("index.html", "fresh-network", "pic.gif", "stale-200.html", "index.html"):
            url = "http://live.quillon.internal/" + self.url("fresh.html") if path == "fresh-network" else self.url(path)
            conn.request("GET", url)
            response = conn.getresponse()
            response.read()
            self.assertEqual(response.status, 200, path)
            sockets.add(id(conn.sock))
            self.assertIsNotNone(conn.sock, path)
        self.assertEqual(len(sockets), 1)
        conn.close()

    def test_chunked_network_answer(self):
        status, headers, body = self.proxy.request("http://live.quillon.internal/" + self.url("chunked"))
        self.assertEqual((status, body), (200, b"first second third"))
        self.assertEqual(headers.get("Transfer-Encoding"), "chunked")

    def test_big_file_streams_in_flat_memory_and_a_disconnect_is_survived(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.proxy.port, timeout=30)
        conn.request("GET", self.url("big.bin"))
        response = conn.getresponse()
        total = 0
        while True:
            block = response.read(1 << 20)
            if not block:
                break
            total += len(block)
        conn.close()
        self.assertEqual(total, BIG_SIZE)
        if not ARGS.sanitized:  # a sanitizer's quarantine keeps freed blocks: no measure there
            self.assertLess(self.proxy.peak_memory_kib(), 64 * 1024, "proxy memory grew with the file")
        # A browser that goes away after the first bytes.
        with socket.create_connection(("127.0.0.1", self.proxy.port)) as s:
            s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % self.url("big.bin")).encode())
            self.assertTrue(s.recv(4096).startswith(b"HTTP/1.1 200"))
        status, _, _ = self.proxy.request(self.url("index.html"))
        self.assertEqual(status, 200)

    def test_connect_tunnel(self):
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=5) as s:
            s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % self.echo.server_address[1])
            head = b""
            while b"\r\n\r\n" not in head:
                head += s.recv(1024)
            self.assertTrue(head.startswith(b"HTTP/1.1 200"), head)
            s.sendall(b"hello through the tunnel")
            got = b""
            while len(got) < 24:
                got += s.recv(1024)
            self.assertEqual(got, b"hello through the tunnel")

    def test_bad_requests(self):
        self.assertTrue(self.proxy.raw(b"this is not http\r\n\r\n").startswith(b"HTTP/1.1 400"))
        huge = b"GET http://x/ HTTP/1.1\r\nX-Big: " + b"a" * (70 * 1024) + b"\r\n\r\n"
        self.assertTrue(self.proxy.raw(huge).startswith(b"HTTP/1.1 431"))
        started = time.time()
        answer = self.proxy.raw(b"GET http://x/ HTTP/1.1\r\nHost:", timeout=10)
        self.assertEqual(answer, b"")
        self.assertLess(time.time() - started, 5, "a stalled head is closed by its timeout")

    def test_offline(self):
        offline = Proxy(self.disc, "--offline")
        try:
            status, _, body = offline.request(self.url("stale-200.html"))
            self.assertEqual((status, body), (200, b"disc copy of stale-200.html"))
            status, _, _ = offline.request("http://live.quillon.internal/" + self.url("fresh.html"))
            self.assertEqual(status, 504)
            answer = offline.raw(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % self.echo.server_address[1])
            self.assertTrue(answer.startswith(b"HTTP/1.1 403"))
        finally:
            self.assertEqual(offline.stop(), 0)


class ProxyStartup(unittest.TestCase):
    def run_proxy(self, *args):
        return subprocess.run([ARGS.proxy, *args], capture_output=True, timeout=30)

    def test_clear_errors_and_exit_codes(self):
        missing = self.run_proxy("--filter", "/nonexistent/libfilter.so", "--disc", "")
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b"cannot load filter library", missing.stderr)
        not_filter = self.run_proxy("--filter", "libc.so.6", "--disc", "")
        self.assertEqual(not_filter.returncode, 1)
        self.assertIn(b"does not export GetFilterVersion", not_filter.stderr)
        self.assertEqual(self.run_proxy("--no-such-option").returncode, 2)
        self.assertEqual(self.run_proxy("--help").returncode, 0)
        self.assertEqual(self.run_proxy("--version").returncode, 0)
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            busy = self.run_proxy("--filter", ARGS.filter, "--disc", "",
                                  "--listen", "127.0.0.1:%d" % taken.getsockname()[1])
            self.assertEqual(busy.returncode, 1)
            self.assertIn(b"already in use", busy.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--disc-tool", required=True)
    parser.add_argument("--filter", required=True)
    parser.add_argument("--sanitized", action="store_true")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
