#!/usr/bin/env python3
"""Imports made-up wget mirrors of growing size with quillon-disc create and prints, for each,
the time and the importer's peak memory (from /usr/bin/time -v): memory should stay flat. With
--proxy, then starts quillon-proxy (offline) on each disc and times it from its start to its
first answer of a catalogued page."""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PAGE = ("<html><head><title>Page {n}</title><link rel=stylesheet href=\"/s.css?v=3\"></head>"
        "<body><p>Harbour notice {n}: the ferry to pier {p} leaves at {h}:00.</p></body></html>\n")


def make_mirror(root, count):
    """count small files under 10 hosts, 1000 a folder: pages and style sheets."""
    for n in range(count):
        host = "site%d.example" % (n % 10)
        folder = os.path.join(root, host, "section%d" % (n // 10000))
        if n % 10000 < 10:
            os.makedirs(folder, exist_ok=True)
        if n % 5 == 4:
            name, text = "style%d.css?v=%d.css" % (n, n % 7), "p{margin:%dpx}\n" % (n % 40)
        else:
            name, text = "page%d.html" % n, PAGE.format(n=n, p=n % 31, h=n % 24)
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)


def import_mirror(tool, mirror, disc):
    result = subprocess.run(["/usr/bin/time", "-v", tool, "create", disc, "--from", mirror],
                            capture_output=True, text=True, check=False)
    if result.returncode != 0:
        sys.exit("quillon-disc failed: " + result.stderr[-2000:])
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", result.stderr)
    parts = [float(p) for p in wall.group(1).split(":")]
    seconds = sum(p * 60 ** i for i, p in enumerate(reversed(parts)))
    cpu = sum(float(re.search(r"%s time \(seconds\): (\S+)" % kind, result.stderr).group(1))
              for kind in ("User", "System"))
    return peak / 1024.0, seconds, cpu


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def time_proxy_start(proxy, filter_library, disc, work):
    """Seconds from starting the proxy to its 200 answer for the mirror's first page."""
    port = free_port()
    request = (b"GET http://site0.example/section0/page0.html HTTP/1.1\r\n"
               b"Host: site0.example\r\nConnection: close\r\n\r\n")
    start = time.monotonic()
    server = subprocess.Popen([proxy, "--disc", disc, "--filter", filter_library, "--offline",
                               "--quiet", "--listen", "127.0.0.1:%d" % port,
                               "--ca-dir", os.path.join(work, "ca")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while time.monotonic() - start < 60:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
                    c.sendall(request)
                    if c.recv(64).startswith(b"HTTP/1.1 200"):
                        return time.monotonic() - start
            except OSError:
                time.sleep(0.005)
        sys.exit("quillon-proxy gave no answer within 60 s")
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quillon-disc", required=True)
    parser.add_argument("--counts", default="100000,1000000")
    parser.add_argument("--proxy", help="quillon-proxy, to time its start on each disc")
    parser.add_argument("--filter", help="the filter library the proxy loads")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="quillon-mirror-bench-")
    try:
        for count in (int(c) for c in args.counts.split(",")):
            mirror = os.path.join(work, "mirror")
            disc = os.path.join(work, "disc")
            shutil.rmtree(mirror, ignore_errors=True)
            shutil.rmtree(disc, ignore_errors=True)
            make_mirror(mirror, count)
            mib, seconds, cpu = import_mirror(args.quillon_disc, mirror, disc)
            print("mirror import: %8d files  %6.1f s (%.1f s CPU)  %6.1f MiB peak"
                  % (count, seconds, cpu, mib), flush=True)
            if args.proxy:
                shutil.rmtree(mirror, ignore_errors=True)  # the disc alone in the page cache
                started = time_proxy_start(args.proxy, args.filter, disc, work)
                print("proxy start:   %8d documents  %6.3f s to the first page" % (count, started),
                      flush=True)
            shutil.rmtree(mirror, ignore_errors=True)
            shutil.rmtree(disc, ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
