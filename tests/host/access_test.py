#!/usr/bin/env python3
"""Who may use quillon-proxy: a proxy listening where other machines reach it serves them only by
--allow, each within its share of the connections, and never this machine's own services; and
--resolve points a name at a local server without DNS. Runs in a network namespace of its own
(no_network.py): this machine is 10.9.9.9 there, and another machine, 10.9.9.8, sits in a
second namespace at the far end of a veth pair."""

import ctypes
import os
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import proxy_e2e_test as e2e  # noqa: E402  (the end-to-end test's origin and proxy helpers)

HERE = "10.9.9.9"   # this machine, as others reach it
OTHER = "10.9.9.8"  # another machine
CLONE_NEWNET = 0x40000000
OTHER_NAMESPACE = None  # /proc/PID/ns/net of the other machine


def only_loopback():
    with open("/proc/self/net/dev") as f:
        return [line.split(":", 1)[0].strip() for line in f.readlines()[2:]] == ["lo"]


def client_socket(source):
    """A TCP socket bound to `source`; made in the other machine's namespace for OTHER."""
    if source != OTHER:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((source, 0))
        return s
    made = []

    def make():  # only this thread enters the other namespace; the socket stays in it
        libc = ctypes.CDLL(None, use_errno=True)
        fd = os.open(OTHER_NAMESPACE, os.O_RDONLY)
        try:
            if libc.setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns")
        finally:
            os.close(fd)
        made.append(socket.socket(socket.AF_INET, socket.SOCK_STREAM))

    thread = threading.Thread(target=make)
    thread.start()
    thread.join()
    made[0].bind((source, 0))
    return made[0]


def ask(port, data, source, timeout=5):
    """Sends `data` to the proxy at HERE:port from `source`; everything it answers."""
    with client_socket(source) as s:
        s.settimeout(timeout)
        s.connect((HERE, port))
        s.sendall(data)
        chunks = []
        while True:
            try:
                chunk = s.recv(65536)
            except (socket.timeout, ConnectionResetError):
                break
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks)


def status_of(answer):
    parts = answer.split(b" ", 2)
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0


class ClientAccess(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The addresses go on the namespace's loopback only: never on a machine's real one.
        if not only_loopback():
            raise RuntimeError("not in a network namespace with loopback alone: run it through "
                               "no_network.py")
        global OTHER_NAMESPACE
        cls.other = subprocess.Popen(["unshare", "-n", "sleep", "1000"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.addClassCleanup(cls.other.wait)
        cls.addClassCleanup(cls.other.kill)
        OTHER_NAMESPACE = "/proc/%d/ns/net" % cls.other.pid
        deadline = time.time() + 5
        while os.readlink(OTHER_NAMESPACE) == os.readlink("/proc/self/ns/net"):
            if time.time() > deadline:
                raise RuntimeError("the other machine's namespace was not made")
            time.sleep(0.01)
        for command in (["ip", "link", "add", "q0", "type", "veth", "peer", "name", "q1"],
                        ["ip", "link", "set", "q1", "netns", str(cls.other.pid)],
                        ["ip", "addr", "add", HERE + "/24", "dev", "q0"],
                        ["ip", "link", "set", "q0", "up"],
                        ["nsenter", "--net=" + OTHER_NAMESPACE, "ip", "addr", "add", OTHER + "/24",
                         "dev", "q1"],
                        ["nsenter", "--net=" + OTHER_NAMESPACE, "ip", "link", "set", "q1", "up"]):
            subprocess.run(command, check=True)
        e2e.Upstream.seen.clear()
        cls.upstream = e2e.start_server(e2e.http.server.ThreadingHTTPServer(("0.0.0.0", 0),
                                                                             e2e.Upstream))
        cls.up = cls.upstream.server_address[1]
        cls.addClassCleanup(cls.upstream.shutdown)
        cls.open = e2e.Proxy("", listen="0.0.0.0:0")  # no --allow
        cls.addClassCleanup(cls.open.stop)
        cls.lan = e2e.Proxy("", "--allow", "10.9.9.0/24", "--max-connections-per-client", "2",
                            "--head-timeout", "10", "--connect-ports", str(cls.up),
                            "--resolve", "www.site.example:%d:127.0.0.1" % cls.up,
                            listen="0.0.0.0:0")
        cls.addClassCleanup(cls.lan.stop)

    def test_who_may_ask_for_what(self):
        up = self.up
        get = "GET http://%s/fresh.html HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n"
        rows = [
            # (proxy, client, request, status, a line of the access log for it)
            ("open", OTHER, get % (("127.0.0.1:%d" % up,) * 2), 403, OTHER + ' - - '),
            ("open", OTHER, get % (("example.org",) * 2), 403, OTHER + ' - - '),
            ("open", "127.0.0.1", get % (("127.0.0.1:%d" % up,) * 2), 200, None),
            # This machine by another of its addresses: served (502: no DNS here).
            ("open", HERE, get % (("www.site.example:%d" % up,) * 2), 502, None),
            ("lan", OTHER, get % (("127.0.0.1:%d" % up,) * 2), 403, None),
            ("lan", OTHER, get % (("localhost:%d" % up,) * 2), 403, None),
            ("lan", OTHER, get % (("LocalHost.:%d" % up,) * 2), 403, None),
            ("lan", OTHER, get % (("%s:%d" % (HERE, up),) * 2), 403, None),
            ("lan", OTHER, get % (("[::1]:%d" % up,) * 2), 403, None),
            ("lan", OTHER, get % (("0.0.0.0:%d" % up,) * 2), 403, None),
            # The IPv4 forms the resolver takes for addresses.
            ("lan", OTHER, get % (("127.1:%d" % up,) * 2), 403, None),
            ("lan", OTHER, get % (("2130706433:%d" % up,) * 2), 403, None),
            ("lan", OTHER, get % (("0x7f.0.0.1:%d" % up,) * 2), 403, None),
            # A name that resolves to loopback (here through --resolve): refused once resolved.
            ("lan", OTHER, get % (("www.site.example:%d" % up,) * 2), 403, None),
            ("lan", OTHER, "CONNECT www.site.example:%d HTTP/1.1\r\nHost: x\r\n\r\n" % up, 403,
             None),
            ("lan", OTHER, "CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % up, 403, None),
            ("lan", OTHER, "CONNECT 127.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % up, 403, None),
            ("lan", "127.0.0.1", get % (("127.0.0.1:%d" % up,) * 2), 200, None),
            ("lan", "127.0.0.1", get % (("127.1:%d" % up,) * 2), 200, None),
            ("lan", "127.0.0.1", get % (("www.site.example:%d" % up,) * 2), 200, None),
            ("lan", "127.0.0.1", "CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % up, 200,
             None),
        ]
        for name, client, request, status, logged in rows:
            with self.subTest(proxy=name, client=client, request=request.split("\r\n")[0]):
                proxy = getattr(self, name)
                answer = ask(proxy.port, request.encode(), client, timeout=2)
                self.assertEqual(status_of(answer), status, answer[:300])
                if logged is not None:
                    self.assertIn('"-" 403 0', proxy.last_log(logged))

    def test_resolve_reaches_a_local_server_without_dns(self):
        e2e.Upstream.seen.clear()
        host = "www.site.example:%d" % self.up
        status, _, body = self.lan.request("http://%s/fresh.html" % host)
        self.assertEqual((status, body), (200, b"network copy of /fresh.html"))
        self.assertEqual(e2e.Upstream.seen[-1][1].get("Host"), host)
        # Without it the name is not looked up anywhere: this namespace has no DNS.
        status, _, _ = self.open.request("http://%s/fresh.html" % host)
        self.assertEqual(status, 502)

    def test_one_client_holds_its_share_only(self):
        held = []
        try:
            for _ in range(2):  # the share: connections waiting for their request
                s = client_socket(OTHER)
                s.connect((HERE, self.lan.port))
                held.append(s)
            time.sleep(0.2)
            self.assertEqual(status_of(ask(self.lan.port, b"GET / HTTP/1.1\r\n\r\n", OTHER)), 503)
            self.assertIn(OTHER + ' - - ', self.lan.last_log('"-" 503'))
            # This machine is not held up by it.
            status, _, _ = self.lan.request("http://127.0.0.1:%d/fresh.html" % self.up)
            self.assertEqual(status, 200)
            held.pop().close()
            deadline = time.time() + 3
            while True:  # the slot comes back once the proxy has seen the close
                answer = ask(self.lan.port, b"GET http://start.quillon.internal/ HTTP/1.1\r\n"
                             b"Host: start.quillon.internal\r\nConnection: close\r\n\r\n", OTHER)
                if status_of(answer) != 503 or time.time() > deadline:
                    break
                time.sleep(0.05)
            self.assertNotEqual(status_of(answer), 503)
        finally:
            for s in held:
                s.close()

    def test_start_says_who_may_connect(self):
        rows = [
            (self.open, ["clients allowed: this machine only",
                         "other machines reach 0.0.0.0 but are refused"]),
            (self.lan, ["clients allowed: this machine, 10.9.9.0/24; at most 2 connections "
                        "from each other machine"]),
        ]
        for proxy, lines in rows:
            for line in lines:
                self.assertTrue(any(line in seen for seen in proxy.errors), proxy.errors)
        bad = subprocess.run([e2e.ARGS.proxy, "--filter", e2e.ARGS.filter, "--disc", "",
                              "--allow", "10.0.0.0/33"], capture_output=True, text=True)
        self.assertEqual(bad.returncode, 2)
        self.assertIn("--allow", bad.stderr)


def main():
    e2e.run_suite()


if __name__ == "__main__":
    main()
