#!/usr/bin/env python3
"""What an operator watches: /metrics on the proxy's own address, read with Debian's
python3-prometheus-client parser, moves as requests are answered; /status shows the same; and
--access-log FILE is opened again by its name on SIGHUP, as log rotation needs. Runs in a
network namespace of its own (no_network.py)."""

import os
import signal
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import proxy_e2e_test as e2e  # noqa: E402  (the end-to-end test's origin and proxy helpers)

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    # Debian's package, when the interpreter running the tests is not Debian's own.
    sys.path.append("/usr/lib/python3/dist-packages")
    try:
        from prometheus_client.parser import text_string_to_metric_families
    except ImportError:
        print("python3-prometheus-client is not installed: skipped")
        sys.exit(77)


def samples(proxy):
    """{(name, sorted labels): value} of the proxy's /metrics, parsed as Prometheus would."""
    status, headers, body = proxy.request("/metrics")
    assert status == 200, status
    assert headers["Content-Type"].startswith("text/plain; version=0.0.4"), headers
    out = {}
    for family in text_string_to_metric_families(body.decode()):
        for sample in family.samples:
            out[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    return out


def answer_of(log_line):
    """Who answered, as the access log's line says (the field before the reason) and /metrics
    labels it."""
    return log_line.rsplit(" ", 2)[1]


def reason_of(log_line):
    """Why the proxy answered itself: the line's last field, "-" for no reason ("" in /metrics)."""
    reason = log_line.rsplit(" ", 1)[1].strip()
    return "" if reason == "-" else reason


class Metrics(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="quillon-metrics-")
        base = cls.tmp.name
        cls.upstream = e2e.start_server(
            e2e.http.server.ThreadingHTTPServer(("127.0.0.1", 0), e2e.Upstream))
        cls.addClassCleanup(cls.upstream.shutdown)
        cls.net = "127.0.0.1:%d" % cls.upstream.server_address[1]
        mirror = os.path.join(base, "mirror")
        e2e.write(os.path.join(mirror, cls.net, "index.html"), "<h1>disc home</h1>")
        cls.disc = os.path.join(base, "disc")
        e2e.subprocess.run([e2e.ARGS.disc_tool, "create", cls.disc, "--from", mirror],
                           check=True, stdout=e2e.subprocess.DEVNULL)
        cls.proxy = e2e.Proxy(cls.disc)
        cls.addClassCleanup(cls.proxy.stop)

    def test_counters_move_with_requests(self):
        rows = [
            # (url asked for through the proxy, status, what in the log line names the request)
            ("http://%s/index.html" % self.net, 200, "/index.html"),       # from the disc
            ("http://%s/fresh.html" % self.net, 200, "/fresh.html"),       # from the network
            ("http://%s/missing.html" % self.net, 404, "/missing.html"),  # the network's 404
            ("/no-such-page", 404, "/no-such-page"),                       # the proxy's own
        ]
        for url, status, fragment in rows:
            with self.subTest(url=url):
                before = samples(self.proxy)
                got, _, _ = self.proxy.request(url)
                self.assertEqual(got, status)
                line = self.proxy.last_log(fragment)
                self.assertTrue(line, fragment)
                after = samples(self.proxy)
                key = ("quillon_requests_total",
                       (("answer", answer_of(line)), ("reason", reason_of(line))))
                # The /metrics read in between is itself a request of the proxy's own.
                moved = after[key] - before.get(key, 0)
                own = answer_of(self.proxy.last_log("GET /metrics"))
                metrics_line = self.proxy.last_log("GET /metrics")
                same = (answer_of(line), reason_of(line)) == (own, reason_of(metrics_line))
                # A scrape is counted once its answer is out, which may come after the next
                # scrape has read the counters: a move may hold one scrape more.
                self.assertIn(moved, (2, 3) if same else (1,))
                count = ("quillon_request_duration_seconds_count", ())
                self.assertIn(after[count] - before[count], (2, 3))
                inf = ("quillon_request_duration_seconds_bucket", (("le", "+Inf"),))
                self.assertEqual(after[inf], after[count])
        # Every request above had a connection of its own; each is counted once the proxy has
        # seen it closed.
        ended = ("quillon_connections_total", ())
        deadline = time.time() + 5
        while True:
            values = samples(self.proxy)
            if values[ended] >= 3 * len(rows) or time.time() > deadline:
                break
            time.sleep(0.05)
        self.assertGreaterEqual(values[ended], 3 * len(rows))
        for direction in ("received", "sent"):
            with self.subTest(direction=direction):
                # At least a request line, or an answer's status line, per connection.
                bytes_key = ("quillon_client_bytes_total", (("direction", direction),))
                self.assertGreater(values[bytes_key], 16 * 3 * len(rows))

    def test_gauges_and_status_page(self):
        # Earlier tests' connections count as open until the proxy has seen them closed.
        open_key = ("quillon_connections_open", ())
        deadline = time.time() + 5
        values = samples(self.proxy)
        while values[open_key] > 1 and time.time() < deadline:
            time.sleep(0.05)
            values = samples(self.proxy)
        rows = [
            # (sample, lowest, highest)
            (("quillon_connections_open", ()), 1, 1),  # the one asking
            (("quillon_worker_threads", ()), 1, 4096),
            (("quillon_worker_threads_held", ()), 0, 0),
            (("quillon_uptime_seconds", ()), 0.001, 3600),
            (("quillon_tls_handshakes_total", (("result", "completed"),)), 0, 0),
            (("quillon_disc_updates_total", (("result", "written"),)), 0, 0),
        ]
        for key, low, high in rows:
            with self.subTest(sample=key):
                self.assertIn(key, values)
                self.assertGreaterEqual(values[key], low)
                self.assertLessEqual(values[key], high)
        status, headers, body = self.proxy.request("/status")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/html"))
        for text in (b"Version", b"Up for", self.disc.encode(), b"Worker threads"):
            self.assertIn(text, body)


class LogRotation(unittest.TestCase):
    def test_sighup_reopens_the_log_by_its_name(self):
        with tempfile.TemporaryDirectory(prefix="quillon-log-") as base:
            log = os.path.join(base, "access.log")
            proxy = e2e.Proxy("", "--access-log", log)
            try:
                proxy.request("/first")
                os.rename(log, log + ".1")
                proxy.process.send_signal(signal.SIGHUP)
                # Reopened when a request made after the signal lands in a file of the name.
                deadline = time.time() + 5
                while not os.path.exists(log) and time.time() < deadline:
                    time.sleep(0.02)
                proxy.request("/second")
            finally:
                self.assertEqual(proxy.stop(), 0)  # SIGHUP did not end it
            with open(log + ".1") as f:
                rotated = f.read()
            with open(log) as f:
                fresh = f.read()
            rows = [(rotated, "/first", True), (rotated, "/second", False),
                    (fresh, "/second", True), (fresh, "/first", False)]
            for text, fragment, present in rows:
                with self.subTest(fragment=fragment, present=present):
                    self.assertEqual(fragment + " HTTP/1.1" in text, present, text)
            self.assertEqual(proxy.log, [])  # nothing on standard output


if __name__ == "__main__":
    e2e.run_suite()
