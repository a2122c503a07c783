#!/usr/bin/env python3
"""Slow searches hold up no one else: on a 100,000-page disc, 16 clients fetch disc pages and
CONNECTs to the disc's https:// host are intercepted, first alone, then while 20 clients search
for a word every page holds. Prints p50 and p99 of both loads; fails when the pages' or the
CONNECTs' p99 under searches is more than twice that without (a floor of FLOOR_MS keeps
sub-millisecond noise from deciding). Run by `make bench`, without the network."""
import argparse
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

PAGES = 100000
HOSTS = 10
PAGE_CLIENTS = 16
CONNECT_CLIENTS = 2
SEARCH_CLIENTS = 20
SECURE = "secure.example"
FLOOR_MS = 2.0
WORDS = ["harbour", "ferry", "pier", "lighthouse", "tide", "gull", "anchor", "rope", "sail",
         "dock", "quay", "buoy", "keel", "mast", "hull", "net", "cod", "crab", "wave", "salt"]
# Every page holds it: each search counts and ranks all of them.
EVERYWHERE = "harbour"


def page_text(n):
    words = " ".join(WORDS[(n * 7 + i * i) % len(WORDS)] for i in range(60))
    return ("<html><head><title>%s notice %d</title></head><body><p>%s %s</p></body></html>\n"
            % (EVERYWHERE, n, EVERYWHERE, words))


def page_path(n):
    return "site%d.example" % (n % HOSTS), "/section%d/page%d.html" % (n // 10000, n)


def make_disc(tool, work):
    mirror = os.path.join(work, "mirror")
    for n in range(PAGES):
        host, path = page_path(n)
        folder = os.path.join(mirror, host, os.path.dirname(path)[1:])
        if n < HOSTS or n % 10000 < HOSTS:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(mirror, host, path[1:]), "w") as f:
            f.write(page_text(n))
    disc = os.path.join(work, "disc")
    subprocess.run([tool, "create", disc, "--from", mirror], check=True, capture_output=True)
    secure_page = os.path.join(work, "secure.html")
    with open(secure_page, "w") as f:
        f.write("<html><body>secure</body></html>\n")
    subprocess.run([tool, "add", disc, "https://%s/" % SECURE, secure_page], check=True,
                   capture_output=True)
    return disc


def start_proxy(proxy, filter_library, disc, work):
    server = subprocess.Popen(
        [proxy, "--listen", "127.0.0.1:0", "--filter", filter_library, "--disc", disc,
         "--offline", "--quiet", "--ca-dir", os.path.join(work, "ca")],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    for line in server.stderr:
        line = line.decode(errors="replace")
        if "listening on" in line:
            threading.Thread(target=lambda: [None for _ in server.stderr], daemon=True).start()
            return server, int(line.rsplit(":", 1)[1])
    sys.exit("the proxy did not start")


def read_answer(sock, buffered):
    """Reads one answer with a Content-Length (or none, for a CONNECT's); returns its status."""
    while b"\r\n\r\n" not in buffered[0]:
        data = sock.recv(65536)
        if not data:
            raise ConnectionError("closed")
        buffered[0] += data
    head, rest = buffered[0].split(b"\r\n\r\n", 1)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(rest) < length:
        data = sock.recv(65536)
        if not data:
            raise ConnectionError("closed")
        rest += data
    buffered[0] = rest[length:]
    return int(head.split(b" ", 2)[1])


def page_client(port, index, stop, latencies, failures):
    sock = socket.create_connection(("127.0.0.1", port))
    buffered = [b""]
    n = index
    while not stop.is_set():
        host, path = page_path(n % PAGES)
        n += PAGE_CLIENTS * 37
        started = time.perf_counter()
        sock.sendall(("GET http://%s%s HTTP/1.1\r\nHost: %s\r\n\r\n" % (host, path, host))
                     .encode())
        status = read_answer(sock, buffered)
        latencies.append(time.perf_counter() - started)
        if status != 200:
            failures.append("page %s%s: %d" % (host, path, status))
    sock.close()


def connect_client(port, stop, latencies, failures):
    while not stop.is_set():
        started = time.perf_counter()
        with socket.create_connection(("127.0.0.1", port)) as sock:
            sock.sendall(("CONNECT %s:443 HTTP/1.1\r\nHost: %s:443\r\n\r\n" % (SECURE, SECURE))
                         .encode())
            status = read_answer(sock, [b""])
            latencies.append(time.perf_counter() - started)
            if status != 200:
                failures.append("CONNECT: %d" % status)


def search_client(port, stop, searches, failures):
    sock = socket.create_connection(("127.0.0.1", port))
    buffered = [b""]
    page = 1
    while not stop.is_set():
        # A new page each time: nothing a cache could answer.
        target = "http://start.quillon.internal/search?q=%s&page=%d" % (EVERYWHERE, page)
        page = page % 50 + 1
        sock.sendall(("GET %s HTTP/1.1\r\nHost: start.quillon.internal\r\n\r\n" % target)
                     .encode())
        status = read_answer(sock, buffered)
        searches.append(status)
        if status != 200:
            failures.append("search: %d" % status)
    sock.close()


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] * 1000.0


def run_load(port, seconds, with_searches):
    stop = threading.Event()
    pages, connects, searches, failures = [], [], [], []
    threads = [threading.Thread(target=page_client, args=(port, i, stop, pages, failures))
               for i in range(PAGE_CLIENTS)]
    threads += [threading.Thread(target=connect_client, args=(port, stop, connects, failures))
                for _ in range(CONNECT_CLIENTS)]
    if with_searches:
        threads += [threading.Thread(target=search_client, args=(port, stop, searches, failures))
                    for _ in range(SEARCH_CLIENTS)]
    for thread in threads:
        thread.start()
    time.sleep(seconds)
    stop.set()
    for thread in threads:
        thread.join()
    return pages, connects, searches, failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--filter", required=True)
    parser.add_argument("--quillon-disc", required=True)
    parser.add_argument("--seconds", type=float, default=8.0)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quillon-search-load-") as work:
        made = time.perf_counter()
        disc = make_disc(args.quillon_disc, work)
        print("a disc of %d pages made in %.0f s" % (PAGES, time.perf_counter() - made))
        server, port = start_proxy(args.proxy, args.filter, disc, work)
        try:
            run_load(port, 1.0, False)  # warms the catalogue's and the authority's caches
            alone = run_load(port, args.seconds, False)
            searched = run_load(port, args.seconds, True)
            print("loads done in %.0f s" % (time.perf_counter() - made))
        finally:
            server.terminate()
            server.wait(timeout=10)
    failures = alone[3] + searched[3]
    print("%d searches answered during the second load" % len(searched[2]))
    if not searched[2]:
        failures.append("no search was answered")
    for name, index in (("disc pages", 0), ("CONNECTs", 1)):
        base = [percentile(alone[index], p) for p in (0.5, 0.99)]
        load = [percentile(searched[index], p) for p in (0.5, 0.99)]
        print("%-10s alone: %6d requests, p50 %.2f ms, p99 %.2f ms; with searches: %6d requests, "
              "p50 %.2f ms, p99 %.2f ms" % (name, len(alone[index]), base[0], base[1],
                                           len(searched[index]), load[0], load[1]))
        if load[1] > 2 * max(base[1], FLOOR_MS):
            failures.append("%s: p99 %.2f ms with searches, %.2f ms without" %
                            (name, load[1], base[1]))
    for failure in failures[:20]:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
