#!/usr/bin/env python3
"""A mixed soak of quillon-proxy: many clients at once asking for disc pages, network pages,
reading slowly, sending garbage and going away mid-answer. Afterwards the proxy must be back at
its idle descriptors and memory, stop cleanly, and its sanitizer (if any) must have said nothing."""

import argparse
import os
import random
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import proxy_e2e_test as e2e  # noqa: E402  (the end-to-end test's origin and proxy helpers)

BIG = 8 << 20


def fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def exchange(port, data, read_limit=1 << 30, rate=None, timeout=5):
    """Sends `data`, reads up to `read_limit` bytes (at `rate` bytes/s if given), closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        if rate:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
        s.sendall(data)
        got = 0
        while got < read_limit:
            try:
                chunk = s.recv(min(65536, rate or 65536))
            except (socket.timeout, ConnectionResetError):
                break
            if not chunk:
                break
            got += len(chunk)
            if rate:
                time.sleep(len(chunk) / rate)
        return got


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--disc-tool", required=True)
    parser.add_argument("--filter", required=True)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--clients", type=int, default=24)
    parser.add_argument("--sanitized", action="store_true")
    # Loose enough by default to catch unbounded buffering under load and a leak that stays
    # after it; make bench-proxy runs the long soak with the tight figures.
    parser.add_argument("--peak-growth-mib", type=int, default=64)
    parser.add_argument("--after-growth-mib", type=int, default=8)
    args = parser.parse_args()
    e2e.ARGS = args

    with tempfile.TemporaryDirectory(prefix="quillon-soak-") as base:
        upstream = e2e.start_server(e2e.http.server.ThreadingHTTPServer(("127.0.0.1", 0), e2e.Upstream))
        net = "127.0.0.1:%d" % upstream.server_address[1]
        mirror = os.path.join(base, "mirror", net)
        e2e.write(os.path.join(mirror, "index.html"), "<h1>soak</h1>" * 300)
        with open(os.path.join(mirror, "big.bin"), "wb") as f:
            f.truncate(BIG)
        disc = os.path.join(base, "disc")
        subprocess.run([args.disc_tool, "create", disc, "--from", os.path.join(base, "mirror")],
                       check=True, stdout=subprocess.DEVNULL)
        scripted = e2e.start_server(e2e.socketserver.ThreadingTCPServer(("127.0.0.1", 0), e2e.Scripted))
        hostile = "http://127.0.0.1:%d" % scripted.server_address[1]
        proxy = e2e.Proxy(disc, "--quiet", "--read-timeout", "3")
        port = proxy.port
        live = "http://live.quillon.internal/http://%s" % net

        def get(url, extra=b""):
            return b"GET %s HTTP/1.1\r\nHost: x\r\n%sConnection: close\r\n\r\n" % (url.encode(), extra)

        actions = [
            lambda: exchange(port, get("http://%s/index.html" % net)),
            lambda: exchange(port, get("http://%s/index.html" % net).replace(b"GET", b"HEAD", 1)),
            lambda: exchange(port, get(live + "/fresh.html")),
            lambda: exchange(port, get(live + "/chunked")),
            lambda: exchange(port, get("http://%s/big.bin" % net), read_limit=BIG // 8, rate=400_000),
            lambda: exchange(port, get("http://%s/big.bin" % net), read_limit=1000),  # goes away
            lambda: exchange(port, bytes(random.getrandbits(8) for _ in range(random.randint(1, 2000)))),
            lambda: exchange(port, b"POST %s/x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                             b"5\r\nhello\r\nzz\r\n" % live.encode()),
            lambda: exchange(port, b"GET http://%s/index.html HTTP/1.1\r\nHost: x\r\n" % net.encode(),
                             timeout=2),  # never finishes its head
            # Hostile clients and origins: smuggling through Connection, chunk framing without
            # end both ways, conflicting lengths, credentials in the target.
            lambda: exchange(port, b"POST %s/x HTTP/1.1\r\nHost: x\r\nConnection: Content-Length\r\n"
                             b"Content-Length: 24\r\n\r\nGET /smuggled HTTP/1.1\r\n\r\n" % live.encode()),
            lambda: exchange(port, b"POST %s/x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5;"
                             % live.encode() + b"a" * (1 << 20)),
            lambda: exchange(port, b"POST %s/x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                             b"0\r\nX: " % live.encode() + b"a" * (1 << 20)),
            lambda: exchange(port, b"POST %s/x HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n"
                             b"Content-Length: 4\r\n\r\nabcd" % live.encode()),
            lambda: exchange(port, get("http://user:pass@%s/index.html" % net)),
            lambda: exchange(port, get(hostile + "/framing/endless-extension"), read_limit=4096),
            lambda: exchange(port, get(hostile + "/framing/endless-trailers"), read_limit=4096),
            lambda: exchange(port, get(hostile + "/framing/listed-length")),
        ]
        # Warm up (every shard of the proxy resolves a name once, which keeps a descriptor for
        # good, and the disc's folder is opened and kept), then take the idle measure. Each
        # action goes 16 times in a row, so that connections dealt in turn reach every shard.
        for action in actions[:4]:
            for _ in range(16):
                action()
        time.sleep(0.5)
        idle_fds, idle_rss = fds(proxy.process.pid), rss_kib(proxy.process.pid)

        deadline = time.time() + args.seconds
        counts = [0] * len(actions)
        failures = []

        def client(seed):
            rng = random.Random(seed)
            while time.time() < deadline:
                which = rng.randrange(len(actions))
                try:
                    actions[which]()
                except OSError:
                    pass  # refused or reset under load is a fair answer to some of these
                except Exception as e:  # noqa: BLE001
                    failures.append(repr(e))
                counts[which] += 1

        threads = [threading.Thread(target=client, args=(i,)) for i in range(args.clients)]
        for t in threads:
            t.start()
        peak_rss = 0
        while any(t.is_alive() for t in threads):
            peak_rss = max(peak_rss, rss_kib(proxy.process.pid))
            time.sleep(0.2)
        for t in threads:
            t.join()

        # Back to idle: every connection closed, memory given back (a sanitizer keeps freed
        # memory in quarantine, so only descriptors are held to it there).
        settle = time.time() + 25  # kept origin connections close after 15 s idle
        while time.time() < settle and fds(proxy.process.pid) > idle_fds:
            time.sleep(0.2)
        time.sleep(3)  # an idle proxy gives freed memory back within its trim interval
        after_fds, after_rss = fds(proxy.process.pid), rss_kib(proxy.process.pid)
        status = proxy.request("http://%s/index.html" % net)[0]
        code = proxy.stop()
        upstream.shutdown()
        scripted.shutdown()
        report = [line for line in proxy.errors
                  if "Sanitizer" in line or "runtime error" in line or "WARNING:" in line]
        print("soak: %.0f s, %d clients, %d requests %s; fds idle %d -> after %d; RSS idle %d KiB, "
              "peak %d KiB (bound +%d MiB), after %d KiB (bound +%d MiB); exit %d"
              % (args.seconds, args.clients, sum(counts), counts, idle_fds, after_fds, idle_rss,
                 peak_rss, args.peak_growth_mib, after_rss, args.after_growth_mib, code))
        ok = True
        for what, bad in (("a client failed: %s" % failures[:3], failures),
                          ("descriptors did not return to idle", after_fds > idle_fds),
                          ("memory grew by more than %d MiB under load" % args.peak_growth_mib,
                           not args.sanitized and peak_rss > idle_rss + args.peak_growth_mib * 1024),
                          ("memory stayed more than %d MiB over idle" % args.after_growth_mib,
                           not args.sanitized
                           and after_rss > idle_rss + args.after_growth_mib * 1024),
                          ("the proxy stopped answering", status != 200),
                          ("exit code %d" % code, code != 0),
                          ("sanitizer report:\n" + "\n".join(report[:20]), report)):
            if bad:
                print("FAIL: " + what)
                ok = False
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
