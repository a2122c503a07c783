#!/usr/bin/env python3
"""quillon-proxy end to end: the real proxy on an ephemeral port, a disc made by quillon-disc,
and a network server of the test's own on 127.0.0.1 only."""

import argparse
import http.client
import http.server
import os
import resource
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
    ports = []  # the proxy's side of each request's connection

    def log_message(self, *args):
        pass

    def do_GET(self):
        Upstream.seen.append((self.path, dict(self.headers)))
        Upstream.ports.append(self.client_address[1])
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


LONG_BODY = bytes(range(251)) * 12000  # 3 MB that shows any byte out of place
# What the origin sends for each /body/ path, and the body the client must get.
RELAYED_BODIES = {
    "/body/length": (b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(LONG_BODY), LONG_BODY),
                     LONG_BODY),
    "/body/to-the-end": (b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + LONG_BODY, LONG_BODY),
    "/body/more-than-its-length": (b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello" + b"X" * 70000,
                                   b"hello"),
}
# Answers whose framing the proxy must not take from the origin as it stands.
FRAMED_ANSWERS = {
    "/framing/listed-length": b"HTTP/1.1 200 OK\r\nConnection: Content-Length\r\nContent-Length: 5\r\n\r\nhello",
    "/framing/two-lengths": b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello",
    "/framing/no-content": b"HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n",
    "/framing/not-modified-chunked": b"HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n",
    "/framing/gzip-chunked": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
    "/framing/size-overflow": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\nx",
}
# Chunk framing that never ends: a chunk-size line, or trailers, sent for as long as it is read.
ENDLESS_FRAMING = {
    "/framing/endless-extension": (b"5;", b"a" * 65536),
    "/framing/endless-trailers": (b"0\r\nX: ", b"a" * 65536),
}


class Scripted(socketserver.BaseRequestHandler):
    """An origin that says what http.server cannot: interim answers, 101, unsolicited 100."""

    requests = []

    def handle(self):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.request.recv(65536)
            if not chunk:
                return
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        Scripted.requests.append(head)
        path = head.split(b" ")[1]
        send = self.request.sendall
        if path == b"/upload":
            send(b"HTTP/1.1 100 Continue\r\n\r\n")  # unasked: the proxy answered it already
            length = int(head.lower().split(b"content-length: ")[1].split(b"\r\n")[0])
            while len(body) < length:
                chunk = self.request.recv(1 << 20)
                if not chunk:
                    return
                body += chunk
            answer = b"got %d bytes" % len(body)
            send(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(answer), answer))
        elif path == b"/upload-chunked":
            # The body as the proxy framed it, decoded here: what the client sent must arrive.
            while not body.endswith(b"0\r\n\r\n"):
                chunk = self.request.recv(1 << 20)
                if not chunk:
                    return
                body += chunk
            decoded = b""
            while True:
                size_line, _, body = body.partition(b"\r\n")
                size = int(size_line.split(b";")[0], 16)
                if size == 0:
                    break
                decoded, body = decoded + body[:size], body[size + 2:]
            answer = b"got " + decoded
            send(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(answer), answer))
        elif path == b"/once":
            # Keeps the connection open, then drops the next request sent on it unanswered.
            send(b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nonce")
            self.request.recv(65536)
        elif path == b"/interim":
            send(b"HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n"
                 b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfinal")
        elif path.startswith(b"/body/"):
            send(RELAYED_BODIES[path.decode()][0])
        elif path.decode() in FRAMED_ANSWERS:
            send(FRAMED_ANSWERS[path.decode()])
            self.request.recv(65536)  # kept open: the proxy must not wait for its end
        elif path.decode() in ENDLESS_FRAMING:
            start, more = ENDLESS_FRAMING[path.decode()]
            send(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + start)
            for _ in range(1600):  # 100 MB at most
                send(more)
        elif path == b"/record":
            send(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
        elif path == b"/endless-interim":
            send(b"HTTP/1.1 103 Early Hints\r\n\r\n" * 40)
        elif path == b"/ws":
            send(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n")
            while True:
                chunk = self.request.recv(4096)
                if not chunk:
                    return
                send(chunk.upper())


class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        while True:
            data = self.request.recv(4096)
            if not data:
                return
            self.request.sendall(data)


def recv_until(s, end, limit=1 << 24):
    data = b""
    while end not in data and len(data) < limit:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def download_size(port, url):
    """GETs url through the proxy on port, reading in 1 MiB blocks; returns the bytes read."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    conn.request("GET", url)
    response = conn.getresponse()
    total = 0
    while True:
        block = response.read(1 << 20)
        if not block:
            break
        total += len(block)
    conn.close()
    return total


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_server(server):
    server.daemon_threads = True
    server.handle_error = lambda request, address: None  # clients the proxy cut off are expected
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return server


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def require_private_network():
    """A proxy under test may look names up: it starts only in the network namespace of its own
    that tests/host/no_network.py makes (as ctest runs it), where nothing leaves the machine."""
    if os.environ.get("QUILLON_NO_NETWORK_INSIDE") != "1":
        raise RuntimeError("this test starts a proxy on the machine's own network; run it "
                           "through tests/host/no_network.py (ctest does)")


class Proxy:
    def __init__(self, disc, *extra, path="/nonexistent", listen="127.0.0.1:0", limits=None):
        require_private_network()
        # With PATH empty of programs the launch route opens nothing unless a test says so.
        env = dict(os.environ, PATH=path)
        defaults = {"--head-timeout": "1", "--read-timeout": "5", "--connect-timeout": "3"}
        for name in extra:
            defaults.pop(name, None)
        if "--ca-dir" not in extra:
            extra = ("--no-intercept", *extra)  # no authority made in the user's data folder
        self.process = subprocess.Popen(
            [ARGS.proxy, "--listen", listen, "--filter", ARGS.filter, "--disc", disc,
             *[word for pair in defaults.items() for word in pair], *extra],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, preexec_fn=limits)
        self.errors = []
        while True:
            line = self.process.stderr.readline().decode()
            self.errors.append(line)
            if "listening on" in line:
                break
            if not line:
                raise RuntimeError("proxy did not start: " + "".join(self.errors))
        self.port = int(line.rsplit(":", 1)[1])
        self.log = []
        self.reader = threading.Thread(target=self._read, args=(self.process.stdout, self.log),
                                       daemon=True)
        self.reader.start()
        self.error_reader = threading.Thread(target=self._read,
                                             args=(self.process.stderr, self.errors), daemon=True)
        self.error_reader.start()

    @staticmethod
    def _read(stream, lines):
        for line in stream:
            lines.append(line.decode(errors="replace").rstrip("\n"))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=10)
        self.reader.join(timeout=5)
        self.error_reader.join(timeout=5)
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

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

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
        cls.scripted = start_server(socketserver.ThreadingTCPServer(("127.0.0.1", 0), Scripted))
        cls.script = "127.0.0.1:%d" % cls.scripted.server_address[1]

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
        cls.scripted.shutdown()
        cls.tmp.cleanup()
        assert code == 0, "proxy exit code %d after SIGTERM" % code

    def url(self, path):
        return "http://%s/%s" % (self.net, path)

    def test_catalogued_page_from_the_disc(self):
        status, headers, body = self.proxy.request(self.url("index.html"))
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "text/html")
        self.assertIn(b"disc home", body)
        self.assertTrue(self.proxy.last_log("/index.html").endswith(" filter -"))

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
                self.assertEqual(self.proxy.last_log(name).split()[-2], who)
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
        # 204 either way: the access log tells whether the filter launched or the gate refused.
        launch = "http://direct.quillon.internal/http://quillon.internal/program/readme.txt"
        for query, headers, answered in (("?gate", {}, "proxy"),
                                         ("?disc", {"Referer": "http://start.quillon.internal/"},
                                          "filter")):
            status, _, _ = self.proxy.request(launch + query, headers=headers)
            self.assertEqual(status, 204)
            line = self.proxy.last_log(launch + query)
            self.assertEqual(line.split()[-2:-1], [answered], line)
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

    def test_relayed_bodies_arrive_whole_and_no_further(self):
        for path, (_, expected) in RELAYED_BODIES.items():
            with self.subTest(path):
                status, _, body = self.proxy.request("http://%s%s" % (self.script, path))
                self.assertEqual((status, len(body)), (200, len(expected)))
                self.assertTrue(body == expected, "the body differs")

    def test_big_file_streams_in_flat_memory_and_a_disconnect_is_survived(self):
        self.assertEqual(download_size(self.proxy.port, self.url("big.bin")), BIG_SIZE)
        # Holding the file would take its 100 MiB; the tight figure is make bench-proxy's.
        if not ARGS.sanitized:  # a sanitizer's quarantine keeps freed blocks: no measure there
            self.assertLess(self.proxy.peak_memory_kib(), BIG_SIZE * 3 // 4 // 1024,
                            "proxy memory grew with the file")
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
        # The 1 s head timeout closes it, well before the client's own 10 s.
        self.assertLess(time.time() - started, 5, "a stalled head is closed by its timeout")

    def test_interim_answers_expect_and_upgrades(self):
        # A client that holds its body back until the proxy says "100 Continue".
        body = b"x" * (5 << 20)
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as s:
            s.sendall(b"POST http://%s/upload HTTP/1.1\r\nHost: %s\r\nContent-Length: %d\r\n"
                      b"Expect: 100-continue\r\n\r\n" % (self.script.encode(), self.script.encode(), len(body)))
            self.assertEqual(recv_until(s, b"\r\n\r\n"), b"HTTP/1.1 100 Continue\r\n\r\n")
            s.sendall(body)
            answer = recv_until(s, b"got %d bytes" % len(body))
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK\r\n"), answer[:200])
        self.assertNotIn(b"100 Continue", answer)
        self.assertNotIn(b"expect", Scripted.requests[-1].lower())
        # A valid chunked body (with an extension and a trailer) is relayed, framed anew.
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as s:
            s.sendall(b"POST http://%s/upload-chunked HTTP/1.1\r\nHost: %s\r\n"
                      b"Transfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n7\r\n, world\r\n"
                      b"0\r\nX-Trailer: dropped\r\n\r\n" % (self.script.encode(), self.script.encode()))
            answer = recv_until(s, b"got hello, world")
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK\r\n") and
                        answer.endswith(b"\r\n\r\ngot hello, world"), answer[:200])
        # Interim answers reach an HTTP/1.1 client before the final one, never an HTTP/1.0 one;
        # an origin that never ends them gets a 502.
        cases = [("/interim", "1.1", [b"HTTP/1.1 103 Early Hints\r\n", b"HTTP/1.1 200 OK\r\n"], b"final"),
                 ("/interim", "1.0", [b"HTTP/1.1 200 OK\r\n"], b"final"),
                 ("/endless-interim", "1.1", [b"HTTP/1.1 103", b"HTTP/1.1 502"], b"without end"),
                 ("/ws", "1.1", [b"HTTP/1.1 502"], b"unasked")]
        for path, version, heads, end in cases:
            with self.subTest(path=path, version=version):
                answer = self.proxy.raw(b"GET http://%s%s HTTP/%s\r\nHost: x\r\nConnection: close\r\n\r\n"
                                        % (self.script.encode(), path.encode(), version.encode()))
                positions = [answer.find(h) for h in heads]
                self.assertTrue(all(p >= 0 for p in positions) and positions == sorted(positions), answer[:300])
                self.assertEqual(b"103 Early" in answer, version == "1.1" and "interim" in path)
                self.assertIn(end, answer)
        # A WebSocket upgrade is tunnelled after the 101.
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=5) as s:
            s.sendall(b"GET http://%s/ws HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                      b"Sec-WebSocket-Key: k\r\n\r\n" % self.script.encode())
            head = recv_until(s, b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 101 "), head)
            self.assertIn(b"Upgrade: websocket\r\n", head)
            s.sendall(b"ping")
            self.assertEqual(recv_until(s, b"PING"), b"PING")

    def test_request_smuggling_is_refused(self):
        smuggled = b"GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n"
        cases = [
            ("xchunked", b"Transfer-Encoding: xchunked\r\nContent-Length: 0\r\n", smuggled),
            ("identity", b"Transfer-Encoding: identity\r\nContent-Length: 0\r\n", smuggled),
            ("chunked, gzip", b"Transfer-Encoding: chunked, gzip\r\n", smuggled),
            ("two Hosts", b"Host: y\r\nContent-Length: 0\r\n", smuggled),
            ("bad Host", b"Content-Length: 0\r\n", smuggled),
            ("bad chunk size", b"Transfer-Encoding: chunked\r\n", b"zz\r\nhello\r\n0\r\n\r\n" + smuggled),
            ("Connection names the length", b"Connection: Content-Length\r\nContent-Length: %d\r\n"
             % len(smuggled), smuggled),
            ("bare LF in chunks", b"Transfer-Encoding: chunked\r\n", b"5\nhello\n0\n\n"),
            ("endless chunk line", b"Transfer-Encoding: chunked\r\n", b"5;" + b"a" * (1 << 19)),
            ("endless trailers", b"Transfer-Encoding: chunked\r\n", b"0\r\nX: " + b"a" * (1 << 19)),
        ]
        for name, fields, rest in cases:
            with self.subTest(name):
                host = b"Host: a b\r\n" if name == "bad Host" else b"Host: x\r\n"
                started = time.time()
                answer = self.proxy.raw(b"POST http://%s/nowhere.html HTTP/1.1\r\n%s%s\r\n%s"
                                        % (self.net.encode(), host, fields, rest))
                # Refused on sight, not after waiting 5 s for more of the body.
                self.assertLess(time.time() - started, 3, "answered at once")
                self.assertTrue(answer.startswith(b"HTTP/1.1 400"), answer[:100])
                self.assertEqual(answer.count(b"HTTP/1.1 "), 1, answer)
                self.assertTrue(self.proxy.last_log("POST http://%s/nowhere.html" % self.net).split('"')[2].startswith(" 400"))
        self.assertNotIn("/smuggled", [p for p, _ in Upstream.seen])

    def test_framing_is_the_proxys_own(self):
        def exchange(path, version="1.1", method="GET", extra=b""):
            """The head and body of one answer on a kept connection, and whether the next
            request on it is still answered."""
            with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as s:
                s.sendall(b"%s http://%s%s HTTP/%s\r\nHost: x\r\n%s\r\n"
                          % (method.encode(), self.script.encode(), path.encode(), version.encode(), extra))
                answer = recv_until(s, b"\r\n\r\n")
                head, _, body = answer.partition(b"\r\n\r\n")
                length = [int(l.split(b":")[1]) for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")]
                if length:
                    while len(body) < length[0]:
                        chunk = s.recv(65536)
                        if not chunk:
                            break
                        body += chunk
                elif b"connection: close" in head.lower() or version == "1.0":
                    body += recv_until(s, b"\x00never")
                s.sendall(b"GET http://%s/record HTTP/1.1\r\nHost: x\r\n\r\n" % self.script.encode())
                try:
                    following = recv_until(s, b"\r\n\r\nok")
                except OSError:
                    following = b""
                return head, body, following
        # path, client version, status, fields the head must hold, fields it must not, body
        cases = [
            ("/framing/listed-length", "1.1", 200, [b"Content-Length: 5"], [b"Connection: close"], b"hello"),
            ("/framing/two-lengths", "1.1", 200, [b"Content-Length: 5"], [], b"hello"),
            ("/framing/no-content", "1.1", 204, [], [b"Content-Length"], b""),
            ("/framing/not-modified-chunked", "1.1", 304, [], [], b""),
            ("/framing/gzip-chunked", "1.1", 502, [], [], None),
            ("/framing/size-overflow", "1.1", 502, [], [], None),
            ("/framing/endless-extension", "1.1", 502, [], [], None),
            ("/framing/endless-trailers", "1.1", 502, [], [], None),
        ]
        for path, version, status, present, absent, body in cases:
            with self.subTest(path):
                started = time.time()
                head, got, following = exchange(path, version)
                # Judged on sight, not after waiting 5 s for more of the origin's answer.
                self.assertLess(time.time() - started, 3, "answered at once")
                self.assertTrue(head.startswith(b"HTTP/1.1 %d " % status), head)
                for field in present:
                    self.assertEqual(head.count(field), 1, head)
                for field in absent:
                    self.assertNotIn(field, head)
                if body is not None:
                    self.assertEqual(got, body)
                    self.assertTrue(following.startswith(b"HTTP/1.1 200 OK\r\n") and following.endswith(b"ok"),
                                    following)
        # A chunked answer reaches an HTTP/1.0 client bare, ended by the close.
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as s:
            s.sendall(b"GET http://live.quillon.internal/%s HTTP/1.0\r\n\r\n" % self.url("chunked").encode())
            answer = recv_until(s, b"\x00never")
        self.assertNotIn(b"Transfer-Encoding", answer)
        self.assertTrue(answer.endswith(b"\r\n\r\nfirst second third"), answer)
        # Userinfo and a CONNECT without a port are refused before any lookup.
        for line in (b"GET http://user:pass@%s/record" % self.script.encode(),
                     b"CONNECT a@127.0.0.1:%d" % self.echo.server_address[1], b"CONNECT 127.0.0.1"):
            with self.subTest(line):
                answer = self.proxy.raw(line + b" HTTP/1.1\r\nHost: x\r\n\r\n")
                self.assertTrue(answer.startswith(b"HTTP/1.1 400"), answer[:100])
        # Max-Forwards: 0 is answered here; otherwise it goes on one less.
        answer = self.proxy.raw(b"TRACE http://%s/record HTTP/1.1\r\nHost: x\r\nMax-Forwards: 0\r\n"
                                b"Cookie: secret\r\nConnection: close\r\n\r\n" % self.script.encode())
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK\r\n"), answer)
        self.assertIn(b"message/http", answer)
        self.assertIn(b"\r\n\r\nTRACE http://%s/record HTTP/1.1\r\n" % self.script.encode(), answer)
        self.assertNotIn(b"secret", answer)
        answer = self.proxy.raw(b"OPTIONS http://%s/record HTTP/1.1\r\nHost: x\r\nMax-Forwards: 0\r\n"
                                b"Connection: close\r\n\r\n" % self.script.encode())
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK\r\n") and b"\r\nAllow: " in answer, answer)
        answer = self.proxy.raw(b"OPTIONS http://%s/record HTTP/1.1\r\nHost: x\r\nMax-Forwards: 3\r\n"
                                b"Connection: close\r\n\r\n" % self.script.encode())
        self.assertTrue(answer.endswith(b"ok"), answer)
        self.assertIn(b"Max-Forwards: 2", Scripted.requests[-1].split(b"\r\n"))

    def test_loops_end_at_the_first_hop(self):
        me = "127.0.0.1:%d" % self.proxy.port
        for target, extra in (("http://%s/?loop1" % me, b""), ("http://localhost:%d/?loop2" % self.proxy.port, b""),
                              (self.url("fresh.html?loop3"), b"Via: 1.0 a, 1.1 %s:%d (quillon-proxy)\r\n"
                               % (socket.gethostname().encode(), self.proxy.port))):
            with self.subTest(target):
                answer = self.proxy.raw(b"GET %s HTTP/1.1\r\nHost: %s\r\n%sConnection: close\r\n\r\n"
                                        % (target.encode(), me.encode(), extra))
                self.assertTrue(answer.startswith(b"HTTP/1.1 508 Loop Detected"), answer[:100])
                time.sleep(0.3)
                marker = target[-6:]  # one hop, one log line
                self.assertEqual(sum(marker in line for line in self.proxy.log), 1, self.proxy.log[-3:])
        # A tunnel to the proxy itself, even on a port tunnels may reach.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        looped = Proxy(self.disc, "--connect-ports", str(port), listen="127.0.0.1:%d" % port)
        try:
            answer = looped.raw(b"CONNECT localhost:%d HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % (port, port))
            self.assertTrue(answer.startswith(b"HTTP/1.1 508"), answer[:100])
        finally:
            self.assertEqual(looped.stop(), 0)
        # The proxy's own address opened as a site: its own page, not the network.
        status, _, body = self.proxy.request("/")
        self.assertEqual(status, 200)
        self.assertIn(b"quillon-proxy", body)

    def test_slow_readers_do_not_stall_other_clients(self):
        proxy = Proxy(self.disc, "--threads", "2", "--read-timeout", "30")
        slow = []
        try:
            for _ in range(12):  # more than the threads, far below the connection limit
                s = socket.socket()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                s.connect(("127.0.0.1", proxy.port))
                s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % self.url("big.bin")).encode())
                slow.append(s)
            time.sleep(0.5)  # every slow reader's socket is full by now
            latencies = []
            for _ in range(20):
                started = time.time()
                status, _, body = proxy.request(self.url("index.html"))
                latencies.append(time.time() - started)
                self.assertEqual(status, 200)
            latencies.sort()
            print("\n12 slow readers held; small request latency p50 %.1f ms, max %.1f ms"
                  % (latencies[10] * 1000, latencies[-1] * 1000), file=sys.stderr)
            # A worker stalled by a slow reader would hold the request for the slow readers'
            # 30 s read timeout; the tight latency is make bench-proxy's.
            self.assertLess(latencies[-1], 5)
        finally:
            for s in slow:
                s.close()
            self.assertEqual(proxy.stop(), 0)

    def test_descriptor_limit_holds_without_spinning(self):
        def low_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (80, 80))
        proxy = Proxy(self.disc, "--max-connections", "1000", limits=low_limit)
        clients = []
        try:
            # (80 - 48 reserved - 4 kept origin connections) / 2 per connection
            self.assertIn("descriptor limit allows 14 connections", "".join(proxy.errors))
            for _ in range(60):
                clients.append(socket.create_connection(("127.0.0.1", proxy.port)))
            time.sleep(0.3)
            busy = 0
            for c in clients[14:]:
                c.settimeout(2)
                busy += c.recv(100).startswith(b"HTTP/1.1 503")
            self.assertEqual(busy, 46)
            cpu = cpu_seconds(proxy.process.pid)
            time.sleep(1)
            # A loop retrying accept at the limit burns a whole core, a second a second.
            self.assertLess(cpu_seconds(proxy.process.pid) - cpu, 0.5, "the proxy spins at its limit")
            for c in clients:
                c.close()
            clients = []
            time.sleep(0.3)
            self.assertEqual(proxy.request(self.url("index.html"))[0], 200)
        finally:
            for c in clients:
                c.close()
            self.assertEqual(proxy.stop(), 0)

    def test_launches_are_for_this_machine_only(self):
        with tempfile.TemporaryDirectory() as bin_dir:
            record = os.path.join(bin_dir, "launched")
            opener = os.path.join(bin_dir, "xdg-open")
            write(opener, "#!/bin/sh\necho \"$1\" >> %s\n" % record)
            os.chmod(opener, 0o755)
            # Clients on other hosts are refused by the gate's own table test: this machine's
            # tests reach nothing but loopback. Any web page can name the launch route (as an
            # image, say); only the disc's own pages may use it.
            disc_page = {"Referer": "http://start.quillon.internal/"}
            web_page = {"Referer": "http://web.example/page.html", "Sec-Fetch-Site": "cross-site"}
            # Only a file of the disc is handed to the desktop.
            for i in range(60):
                write(os.path.join(self.disc, "program", "file%d.txt" % i), "file")
            for extra, headers, launches in (([], disc_page, 4), (["--no-launch"], disc_page, 0),
                                             ([], web_page, 0), ([], {}, 0)):
                with self.subTest(extra=extra, headers=headers):
                    if os.path.exists(record):
                        os.remove(record)
                    proxy = Proxy(self.disc, *extra, path=bin_dir)
                    try:
                        for i in range(60):
                            # A page's query names no other file.
                            name = "program/readme.txt?0" if i % 2 else "program/file%d.txt" % i
                            conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=10)
                            conn.request("GET", "http://direct.quillon.internal/http://quillon.internal/" + name,
                                         headers=headers)
                            response = conn.getresponse()
                            response.read()
                            conn.close()
                            self.assertEqual(response.status, 204)
                        time.sleep(0.5)
                        seen = open(record).read().splitlines() if os.path.exists(record) else []
                        self.assertEqual(len(seen), launches, seen)
                        if launches:
                            self.assertIn("program/readme.txt", [line[-18:] for line in seen])
                            self.assertFalse([line for line in seen if "?" in line], seen)
                    finally:
                        self.assertEqual(proxy.stop(), 0)
                    if headers is web_page:
                        self.assertTrue([line for line in proxy.errors if "refused" in line],
                                        proxy.errors)

    def test_head_has_no_body_and_keeps_the_connection_in_step(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.proxy.port, timeout=10)
        page = len("<h1>disc home</h1><img src='pic.gif'>")
        for method, path, length in (("HEAD", "index.html", page), ("GET", "pic.gif", 19),
                                     ("HEAD", "nothing-here", None), ("GET", "index.html", page)):
            conn.request(method, self.url(path))
            response = conn.getresponse()
            body = response.read()
            self.assertEqual(len(body), 0 if method == "HEAD" else length, path)
            if length:
                self.assertEqual(response.getheader("Content-Length"), str(length))
            if method == "HEAD":
                self.assertEqual(self.proxy.last_log("HEAD " + self.url(path)).split('"')[2].split()[1], "0")
        conn.close()

    def test_smaller_points(self):
        # A head with bare line feeds is answered at once.
        started = time.time()
        self.assertTrue(self.proxy.raw(b"GET http://x/ HTTP/1.1\nHost: x\n\n").startswith(b"HTTP/1.1 400"))
        self.assertLess(time.time() - started, 1)  # answered, not ended by the 1 s head timeout
        # The catalogue domain with its trailing dot is the disc's, never DNS's; the disc's
        # catalogue is never served, however spelled.
        for target in ("http://quillon.internal./x", "http://quillon.internal/catalogue.db",
                       "http://quillon.internal/./catalogue.db", "http://quillon.internal//catalogue.db-wal"):
            with self.subTest(target):
                status, _, body = self.proxy.request(target)
                self.assertEqual(status, 404)
                self.assertNotIn(b"SQLite", body)
        # Fields a Connection header names never reach the origin, however many it names.
        tokens = ",".join("x-%d" % i for i in range(6000))
        status, _, _ = self.proxy.request(self.url("fresh.html"),
                                          headers={"Connection": tokens, "X-7": "secret", "Host": "a.example"})
        self.assertEqual(status, 200)
        _, seen = Upstream.seen[-1]
        self.assertNotIn("X-7", seen)
        self.assertEqual(seen["Host"], self.net)  # the target's, not the client's
        # CONNECT: only to the allowed ports; the log has the tunnel's real status and bytes.
        answer = self.proxy.raw(b"CONNECT 127.0.0.1:22 HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertTrue(answer.startswith(b"HTTP/1.1 403"), answer)
        self.assertIn('"CONNECT 127.0.0.1:22 HTTP/1.1" 403 ', self.proxy.last_log("CONNECT 127.0.0.1:22"))
        # Log fields are escaped.
        self.proxy.raw(b"GET %s HTTP/1.1\r\nHost: x\r\nReferer: a\"b\\c\xff\r\nConnection: close\r\n\r\n"
                       % self.url("index.html").encode())
        self.assertIn('"a\\x22b\\x5Cc\\xFF"', self.proxy.last_log("\\xFF"))

    def test_shutdown_grace_is_an_option(self):
        proxy = Proxy(self.disc, "--shutdown-grace", "0.5", "--read-timeout", "30")
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", proxy.port))
            s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % self.url("big.bin")).encode())
            time.sleep(0.3)
            started = time.time()
            self.assertEqual(proxy.stop(), 0)
            self.assertLess(time.time() - started, 3)  # the default grace would wait 5 s

    def test_origin_connections_are_kept_and_a_closed_one_is_retried(self):
        before = len(Upstream.ports)
        for _ in range(3):
            status, _, _ = self.proxy.request("http://live.quillon.internal/" + self.url("fresh.html?kept"))
            self.assertEqual(status, 200)
        self.assertEqual(len(set(Upstream.ports[before:])), 1, "one origin connection for all three")
        for _ in range(2):
            status, _, body = self.proxy.request("http://%s/once" % self.script)
            self.assertEqual((status, body), (200, b"once"))

    def test_a_thousand_idle_connections_stay_small(self):
        resource.setrlimit(resource.RLIMIT_NOFILE, (4096, max(4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1])))
        proxy = Proxy(self.disc, "--quiet")
        clients = []
        try:
            time.sleep(0.3)
            idle = proxy.rss_kib()
            for _ in range(1000):
                c = socket.create_connection(("127.0.0.1", proxy.port), timeout=10)
                c.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % self.url("pic.gif")).encode())
                clients.append(c)
            for c in clients:
                self.assertIn(b"GIF89a-disc-picture", recv_until(c, b"GIF89a-disc-picture"))
            time.sleep(0.3)
            grown = proxy.rss_kib() - idle
            print("\n1000 kept connections: RSS %d KiB over idle (%.1f KiB each)" % (grown, grown / 1000),
                  file=sys.stderr)
            # An idle connection holding a relay block (64 KiB) would pass this; the tight
            # figure is make bench-proxy's.
            if not ARGS.sanitized:  # a sanitizer's shadow memory and quarantine: no measure there
                self.assertLess(grown, 64 * 1000, "more than 64 KiB per kept connection")
        finally:
            for c in clients:
                c.close()
            self.assertEqual(proxy.stop(), 0)

    def test_own_answers_say_why(self):
        """Each own answer: a page for a browser, one line otherwise, and its reason logged last."""
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            closed = probe.getsockname()[1]  # nothing listens once the probe is closed
        me = "127.0.0.1:%d" % self.proxy.port
        via = b"Via: 1.1 %s:%d (quillon-proxy)" % (socket.gethostname().encode(), self.proxy.port)
        html = b"Accept: text/html,application/xhtml+xml"
        offline = Proxy(self.disc, "--offline")
        try:
            rows = [
                # proxy, target, extra field, status, HTML page, part of the body, log reason
                (offline, "http://nowhere.example/winter.html?r1", html, 504, True,
                 b"Not on this disc", "not-on-disc"),
                (offline, "http://nowhere.example/winter.html?r2", b"", 504, False,
                 b"is not on this disc", "not-on-disc"),
                (self.proxy, "http://127.0.0.1:%d/?r3" % closed, b"", 502, False,
                 b"Connection refused", "refused"),
                (self.proxy, "http://127.0.0.1:%d/?r4" % closed, html, 502, True,
                 b"check the address and its port", "refused"),
                # No --resolve and no name server in the test's namespace: the lookup fails.
                (self.proxy, "http://no-such-host.example/?r5", b"", 502, False,
                 b"name server", "dns"),
                (self.proxy, "http://%s/?r6" % me, b"", 508, False, b"back here", "loop"),
                (self.proxy, self.url("fresh.html?r7"), via, 508, False, b"passed this proxy",
                 "loop"),
                (self.proxy, self.url("fresh.html?r8"), b"Connection: Content-Length", 400, False,
                 b"frames the message", "smuggling"),
                (self.proxy, "http://user@%s/?r9" % self.net, b"", 400, False, b"userinfo",
                 "bad-request"),
            ]
            for proxy, target, extra, status, page, part, reason in rows:
                with self.subTest(target):
                    head = b"GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" % target.encode()
                    answer = proxy.raw(head + (extra + b"\r\n" if extra else b"") + b"\r\n")
                    fields, _, body = answer.partition(b"\r\n\r\n")
                    self.assertTrue(fields.startswith(b"HTTP/1.1 %d " % status), answer[:200])
                    kind = b"text/html; charset=utf-8" if page else b"text/plain"
                    self.assertIn(b"\r\nContent-Type: " + kind + b"\r\n", fields)
                    self.assertIn(part, body)
                    if page:
                        self.assertTrue(body.startswith(b"<!DOCTYPE html>") and b"<style>" in body, body)
                    else:
                        self.assertEqual(body.count(b"\n"), 1, body)
                    self.assertEqual(proxy.last_log(target[-3:]).split()[-2:], ["proxy", reason])
        finally:
            self.assertEqual(offline.stop(), 0)

    def test_the_authority_is_named_only_when_it_applies(self):
        """This disc holds no https:// pages: its start says nothing of the local authority
        unless --ca-dir asks for one."""
        require_private_network()
        rows = [([], False), (["--ca-dir", os.path.join(self.tmp.name, "asked-ca")], True)]
        for args, named in rows:
            with self.subTest(args=args):
                env = dict(os.environ, PATH="/nonexistent",
                           XDG_DATA_HOME=os.path.join(self.tmp.name, "data"))
                proxy = subprocess.Popen(
                    [ARGS.proxy, "--listen", "127.0.0.1:0", "--filter", ARGS.filter, "--disc",
                     self.disc, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
                start = ""
                while "clients allowed" not in start:
                    line = proxy.stderr.readline().decode()
                    if not line:
                        break
                    start += line
                proxy.send_signal(signal.SIGTERM)
                # Through the same buffered reader: what it holds already is the start's rest.
                start += proxy.stderr.read().decode()
                proxy.stderr.close()
                proxy.wait(timeout=10)
                self.assertEqual(proxy.returncode, 0, start)
                self.assertEqual("local authority" in start, named, start)
                self.assertEqual("certutil" in start, named, start)

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


def run_suite():
    """Runs the calling script's tests with the proxy, disc tool and filter named on its command
    line (the suites that share this module's helpers start the same way)."""
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--disc-tool", required=True)
    parser.add_argument("--filter", required=True)
    parser.add_argument("--sanitized", action="store_true")
    ARGS, rest = parser.parse_known_args()
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    run_suite()
