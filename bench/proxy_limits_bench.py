#!/usr/bin/env python3
"""quillon-proxy's memory and timing figures, each printed beside its bound: peak memory while one
browser downloads a 100 MiB disc file, a small request's latency while slow readers hold every
worker thread's connections, memory per kept idle connection, and how far past its setting the
disc patience and the read timeout end a wait. The functional suites keep only bounds loose enough
to catch the fault itself; these are the tight ones. Exits 1 when a figure is over its bound.

Starts proxies: run it inside tests/host/no_network.py (make bench-proxy does).

    proxy_limits_bench.py --proxy P --disc-tool D --filter F
"""

import argparse
import os
import resource
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "host"))
import proxy_e2e_test as e2e  # noqa: E402  (the end-to-end test's proxy helpers)

# The bounds.
STREAM_PEAK_KIB = 64 * 1024
SLOW_READER_LATENCY_MS = 500
KEPT_CONNECTION_KIB = 24
PATIENCE_OVERSHOOT_MS = 500
READ_TIMEOUT_OVERSHOOT_MS = 1500

SITE = "127.0.0.1:9"  # never asked: its pages are fresh on the disc
SLOW_READERS = 12  # more than the proxy's two threads, far below its connection limit
KEPT_CONNECTIONS = 1000
PATIENCE = 1.0
READ_TIMEOUT = 4.0
BROWSER = {"Accept": "text/html,application/xhtml+xml,*/*;q=0.8"}  # a page load, not a fetch


def report(rows, label, figure, bound, unit):
    rows.append(figure <= bound)
    print("%-44s %10.1f %s (bound %s %s): %s"
          % (label, figure, unit, bound, unit, "within" if figure <= bound else "OVER"))


def stream_peak(disc):
    proxy = e2e.Proxy(disc)
    try:
        total = e2e.download_size(proxy.port, "http://%s/big.bin" % SITE)
        assert total == e2e.BIG_SIZE, total
        return proxy.peak_memory_kib()
    finally:
        proxy.stop()


def slow_reader_latency(disc):
    proxy = e2e.Proxy(disc, "--threads", "2", "--read-timeout", "30")
    slow = []
    try:
        for _ in range(SLOW_READERS):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", proxy.port))
            s.sendall(b"GET http://%s/big.bin HTTP/1.1\r\nHost: x\r\n\r\n" % SITE.encode())
            slow.append(s)
        time.sleep(0.5)  # every slow reader's socket is full by now
        latencies = []
        for _ in range(20):
            started = time.monotonic()
            status, _, _ = proxy.request("http://%s/index.html" % SITE)
            latencies.append(time.monotonic() - started)
            assert status == 200, status
        return max(latencies) * 1000
    finally:
        for s in slow:
            s.close()
        proxy.stop()


def kept_connection_kib(disc):
    limit = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, max(4096, limit)))
    proxy = e2e.Proxy(disc, "--quiet")
    clients = []
    try:
        time.sleep(0.3)
        idle = proxy.rss_kib()
        for _ in range(KEPT_CONNECTIONS):
            c = socket.create_connection(("127.0.0.1", proxy.port), timeout=10)
            c.sendall(b"GET http://%s/pic.gif HTTP/1.1\r\nHost: x\r\n\r\n" % SITE.encode())
            clients.append(c)
        for c in clients:
            assert b"GIF89a" in e2e.recv_until(c, b"GIF89a-disc-picture")
        time.sleep(0.3)
        return (proxy.rss_kib() - idle) / KEPT_CONNECTIONS
    finally:
        for c in clients:
            c.close()
        proxy.stop()


def wait_overshoots(disc, hole_host):
    """Milliseconds past the patience for a stale disc page whose site never answers, and past
    the read timeout for a page the disc lacks."""
    proxy = e2e.Proxy(disc, "--disc-patience", str(PATIENCE), "--read-timeout", str(READ_TIMEOUT))
    try:
        overshoots = []
        for path, status, setting in (("/page.html", 200, PATIENCE),
                                      ("/not-on-disc.html", 504, READ_TIMEOUT)):
            started = time.monotonic()
            got, _, _ = proxy.request("http://%s%s" % (hole_host, path), headers=BROWSER)
            overshoots.append((time.monotonic() - started - setting) * 1000)
            assert got == status, (path, got)
        return overshoots
    finally:
        proxy.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--disc-tool", required=True)
    parser.add_argument("--filter", required=True)
    e2e.ARGS = parser.parse_args()
    e2e.ARGS.sanitized = False
    with tempfile.TemporaryDirectory(prefix="quillon-limits-") as base, socket.socket() as hole:
        # A site that takes connections and never answers them.
        hole.bind(("127.0.0.1", 0))
        hole.listen(64)
        hole_host = "127.0.0.1:%d" % hole.getsockname()[1]
        mirror = os.path.join(base, "mirror")
        e2e.write(os.path.join(mirror, SITE, "index.html"), "<h1>disc home</h1>")
        e2e.write(os.path.join(mirror, SITE, "pic.gif"), b"GIF89a-disc-picture")
        with open(os.path.join(mirror, SITE, "big.bin"), "wb") as f:
            f.truncate(e2e.BIG_SIZE)
        disc = os.path.join(base, "disc")
        subprocess.run([e2e.ARGS.disc_tool, "create", disc, "--from", mirror], check=True,
                       stdout=subprocess.DEVNULL)
        page = os.path.join(base, "page.html")
        e2e.write(page, "disc copy of the hole")
        subprocess.run([e2e.ARGS.disc_tool, "add", disc, "http://%s/page.html" % hole_host, page,
                        "--stale-after", "0s"], check=True, stdout=subprocess.DEVNULL)

        within = []
        report(within, "peak memory, one 100 MiB disc download", stream_peak(disc),
               STREAM_PEAK_KIB, "KiB")
        report(within, "small request, %d slow readers held" % SLOW_READERS,
               slow_reader_latency(disc), SLOW_READER_LATENCY_MS, "ms")
        report(within, "memory per kept idle connection (%d)" % KEPT_CONNECTIONS,
               kept_connection_kib(disc), KEPT_CONNECTION_KIB, "KiB")
        time.sleep(1.2)  # the hole's page is stale by now
        patience, read_timeout = wait_overshoots(disc, hole_host)
        report(within, "disc copy past the %gs patience" % PATIENCE, patience,
               PATIENCE_OVERSHOOT_MS, "ms")
        report(within, "504 past the %gs read timeout" % READ_TIMEOUT, read_timeout,
               READ_TIMEOUT_OVERSHOOT_MS, "ms")
    return 0 if all(within) else 1


if __name__ == "__main__":
    sys.exit(main())
