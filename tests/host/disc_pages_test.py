#!/usr/bin/env python3
"""Browsing a disc as people do, end to end: addresses spelt as browsers and wget spell them, the
proxy's own pages (start page, search, PAC file, not-on-disc page), a served disc left alone by
quillon-disc, and the start page and a search in headless Chromium."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import proxy_e2e_test as e2e  # noqa: E402  (the end-to-end test's proxy helpers)

SITE = "pages.example"
START = "http://start.quillon.internal/"
TITLE = '<b>Tom & "Jerry"</b>'


def tool(*args):
    return subprocess.run([e2e.ARGS.disc_tool, *args], capture_output=True, text=True, timeout=60)


class DiscBrowsing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="quillon-pages-")
        base = cls.tmp.name
        cls.mirror = os.path.join(base, "mirror")
        site = os.path.join(cls.mirror, SITE)
        e2e.write(os.path.join(site, "index.html"),
                  "<title>Home</title><p>Welcome. <a href='/lumother/story.htm'>story</a></p>")
        e2e.write(os.path.join(site, "index.html?lang=en"), "<p>english home</p>")
        e2e.write(os.path.join(site, "dir", "index.html"), "<p>in the folder</p>")
        e2e.write(os.path.join(site, "caf\u00e9.html"), "<p>cafe</p>")
        e2e.write(os.path.join(site, "ferry.html"),
                  "<title>Ferry &amp; <boats></title><script>lighthouse()</script>"
                  "<p>The lighthouse ferry leaves at noon.</p>")
        extra = os.path.join(base, "extra")
        e2e.write(os.path.join(extra, "docs", "lumother", "story.htm"), "<p>the town story</p>")
        cls.disc = os.path.join(base, "disc")
        made = tool("create", cls.disc, "--from", cls.mirror, "--extra", extra, "--title", TITLE)
        assert made.returncode == 0, made.stderr
        cls.proxy = e2e.Proxy(cls.disc, "--offline")

    @classmethod
    def tearDownClass(cls):
        code = cls.proxy.stop()
        cls.tmp.cleanup()
        assert code == 0, "proxy exit code %d after SIGTERM" % code

    def test_addresses_as_browsers_and_wget_spell_them(self):
        rows = [
            # address, status, content type or location, part of the body
            ("http://%s/index.html?lang=en" % SITE, 200, "text/html", b"english home"),
            ("HTTP://PAGES.EXAMPLE:80/dir", 302, "http://%s/dir/" % SITE, b""),
            ("http://%s/caf%%c3%%a9.html" % SITE, 200, "text/html", b"cafe"),
            ("http://%s/lumother/story.htm" % SITE, 200, "text/html", b"the town story"),
            ("http://%s/LumOther/Story.HTM" % SITE, 200, "text/html", b"the town story"),
            ("http://%s/lumother/../../catalogue.db" % SITE, 404, "text/plain", b""),
            ("http://%s/lumother/missing.htm" % SITE, 404, "text/plain", b""),
        ]
        for url, status, where, body in rows:
            with self.subTest(url):
                got, headers, content = self.proxy.request(url)
                self.assertEqual(got, status, content)
                self.assertEqual(headers.get("Location" if status == 302 else "Content-Type"), where)
                self.assertIn(body, content)

    def test_own_pages(self):
        escaped = "&lt;b&gt;Tom &amp; &quot;Jerry&quot;&lt;/b&gt;"
        rows = [
            # address, status, content type, parts of the body
            (START, 200, "text/html; charset=utf-8",
             [escaped, 'href="http://%s/">%s</a> \u2014 5 documents' % (SITE, SITE), 'name="q"']),
            (START + "search?q=Lighthouse+ferry", 200, "text/html; charset=utf-8",
             ['1 page matches', 'href="http://%s/ferry.html">Ferry &amp; &lt;boats&gt;</a>' % SITE,
              "<mark>lighthouse</mark> <mark>ferry</mark>"]),
            (START + "search?q=%3Cscript%3E", 200, "text/html; charset=utf-8",
             ['value="&lt;script&gt;"', "0 pages match"]),
            ("http://%s/nowhere/winter-schedule.html" % SITE, 504, "text/html; charset=utf-8",
             ["Not on this disc", 'href="%s"' % START,
              'href="%ssearch?q=nowhere+winter+schedule"' % START]),
            ("http://start.quillon.internal/other", 404, "text/plain", []),
        ]
        for url, status, kind, parts in rows:
            with self.subTest(url):
                got, headers, content = self.proxy.request(url)
                self.assertEqual((got, headers["Content-Type"]), (status, kind))
                for part in parts:
                    self.assertIn(part, content.decode())
        # The proxy's own address opened directly: the same page, how to set a browser up, and
        # a PAC file that sends the disc's hosts here.
        own = "127.0.0.1:%d" % self.proxy.port
        status, _, body = self.proxy.request("/", headers={"Host": own})
        self.assertEqual(status, 200)
        self.assertIn(escaped, body.decode())
        self.assertIn("http://%s/proxy.pac" % own, body.decode())
        status, headers, body = self.proxy.request("/proxy.pac", headers={"Host": own})
        self.assertEqual((status, headers["Content-Type"]), (200, "application/x-ns-proxy-autoconfig"))
        self.assertIn('host == "%s"' % SITE, body.decode())
        self.assertIn('dnsDomainIs(host, ".quillon.internal")', body.decode())
        self.assertIn('return "PROXY %s"' % own, body.decode())

    def test_a_served_disc_is_never_replaced_and_additions_show_at_once(self):
        replaced = tool("create", self.disc, "--from", self.mirror, "--force")
        self.assertEqual(replaced.returncode, 1)
        self.assertIn("in use by another program", replaced.stderr)
        status, _, body = self.proxy.request("http://%s/dir/index.html" % SITE)
        self.assertEqual((status, body), (200, b"<p>in the folder</p>"))
        page = os.path.join(self.tmp.name, "added.html")
        e2e.write(page, "<p>added while served</p>")
        added = tool("add", self.disc, "http://%s/added.html" % SITE, page)
        self.assertEqual(added.returncode, 0, added.stderr)
        status, _, body = self.proxy.request("http://%s/added.html" % SITE)
        self.assertEqual((status, body), (200, b"<p>added while served</p>"))

    def test_tool_and_proxy_options(self):
        empty = os.path.join(self.tmp.name, "empty")
        os.makedirs(empty, exist_ok=True)
        other = os.path.join(self.tmp.name, "other-disc")
        rows = [
            # arguments, exit code, part of the output
            (["create", other, "--from", os.path.join(self.mirror, SITE)], 1, "is not a host name"),
            (["create", other, "--from", empty], 1, "no files to put on a disc"),
            (["add", self.disc, "ftp://%s/x" % SITE, "--redirect", "http://x/"], 1,
             "not an http:// address"),
            (["list", self.disc], 0, "title:   " + TITLE),
            (["list", self.disc], 0, "created: "),
        ]
        for args, code, text in rows:
            with self.subTest(args):
                run = tool(*args)
                self.assertEqual(run.returncode, code, run.stderr)
                self.assertIn(text, run.stdout + run.stderr)
                self.assertFalse(os.path.exists(other))
        for args, code in ((["--mode", "7"], 2), (["--mode", "Cached", "--help"], 0)):
            run = subprocess.run([e2e.ARGS.proxy, "--disc", "", *args], capture_output=True,
                                 timeout=30)
            self.assertEqual(run.returncode, code, run.stderr)
        named = e2e.Proxy(self.disc, "--mode", "refresh", listen="localhost:0")
        try:
            status, _, _ = named.request(START)
            self.assertEqual(status, 200)
        finally:
            self.assertEqual(named.stop(), 0)

    def test_start_page_and_search_in_a_real_browser(self):
        browser = shutil.which("chromium") or shutil.which("chromium-browser")
        if browser is None:
            self.skipTest("chromium is not installed (make deps-browser installs it)")
        rows = [
            (START, ['<a href="http://%s/">%s</a>' % (SITE, SITE), "<h1>" + TITLE.replace("&", "&amp;")
                     .replace("<", "&lt;").replace(">", "&gt;") + "</h1>"]),
            (START + "search?q=lighthouse",
             ['<a href="http://%s/ferry.html">' % SITE, "<mark>lighthouse</mark>",
              '<p id="count">1 page matches</p>']),
        ]
        for url, parts in rows:
            with self.subTest(url), tempfile.TemporaryDirectory(prefix="quillon-chromium-") as profile:
                result = subprocess.run(
                    [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync",
                     "--disable-features=HttpsUpgrades,HttpsFirstBalancedModeAutoEnable",
                     "--user-data-dir=" + profile,
                     "--proxy-server=127.0.0.1:%d" % self.proxy.port,
                     "--virtual-time-budget=5000", "--dump-dom", url],
                    capture_output=True, timeout=120)
                dom = result.stdout.decode(errors="replace")
                for part in parts:
                    self.assertIn(part, dom, result.stderr.decode(errors="replace")[-2000:])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--disc-tool", required=True)
    parser.add_argument("--filter", required=True)
    parser.add_argument("--sanitized", action="store_true")
    e2e.ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
