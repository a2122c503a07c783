#!/usr/bin/env python3
"""Discs from ZIM files written with libzim's own writer: the new namespace scheme, the old one
(a written file turned into one), a split file, damaged copies; every entry served by an --offline
proxy with its bytes and type, search, and a page with its picture in headless Chromium."""

import argparse
import hashlib
import lzma
import os
import sqlite3
import struct
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import chromium  # noqa: E402
import proxy_e2e_test as e2e  # noqa: E402  (the end-to-end test's proxy helpers)

ARGS = None
START = "http://start.quillon.internal/"


def png(width, height, rgb):
    """A picture of one colour."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    rows = b"".join(b"\0" + bytes(rgb) * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


HOME = ('<html><head><title>Home</title></head><body><h1>Harbour wiki</h1>'
        '<p>The zebrafish swims by the quay.</p>'
        '<img src="pic.png" onload="document.getElementById(\'seen\').textContent = '
        '\'picture \' + this.naturalWidth"><p id="seen">no picture</p>'
        '<a href="Caf%C3%A9/%C3%BC%20page">caf\u00e9</a></body></html>').encode()
CAFE = ("<html><head><title>Caf\u00e9 \u00fc</title></head><body><p>Espresso by the "
        "lighthouse.</p></body></html>").encode()

# kind, path, MIME type (redirect: target path), title, content
ENTRIES = [
    ("item", "Home", "text/html", "Home", HOME),
    ("item", "pic.png", "image/png", "Picture", png(40, 30, (200, 30, 30))),
    ("item", "Caf\u00e9/\u00fc page", "text/html", "Caf\u00e9 \u00fc", CAFE),
    ("item", "style/main.css", "text/css", "", b"body { color: navy }"),
    ("item", "data/facts.json", "application/json", "", b'{"tides": 2}'),
    ("item", "100% sure?.txt", "text/plain", "", b"percent and question mark"),
    ("redirect", "Old", "Home", "Old", None),
    ("redirect", "\u0412\u0438\u043a\u0438", "Caf\u00e9/\u00fc page", "Wiki", None),
]

# name, metadata, create/add arguments, host the entries answer for, namespace before each path
VARIANTS = [
    ("new", {"Title": "Harbour Wiki", "Name": "wikipedia_en_Harbour All"}, [],
     "wikipedia-en-harbour-all.zim", ""),
    ("old", {"Title": "Old Wiki", "Source": "https://En.Example.org/wiki/"}, [],
     "en.example.org", "A/"),
    ("split", {"Title": "Split Wiki", "Name": "split"}, ["--host", "Split.Example"],
     "split.example", ""),
]


def tool(*args):
    return subprocess.run([ARGS.disc_tool, *args], capture_output=True, text=True, timeout=120)


def make_zim(path, metadata, work):
    lines = ["meta\t%s\t%s" % pair for pair in metadata.items()] + ["main\tHome"]
    for n, (kind, entry, mime, title, content) in enumerate(ENTRIES):
        if kind == "item":
            file = os.path.join(work, "content-%d" % n)
            with open(file, "wb") as f:
                f.write(content)
            lines.append("\t".join(("item", entry, mime, title, file)))
        else:
            lines.append("\t".join(("redirect", entry, title, mime)))
    manifest = os.path.join(work, "manifest")
    with open(manifest, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    run = subprocess.run([ARGS.zim_make, path, "--manifest", manifest], capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr


def header(data):
    """The header fields a damaged copy changes."""
    count, clusters, path_ptr, _, cluster_ptr = struct.unpack_from("<IIQQQ", data, 24)
    checksum, = struct.unpack_from("<Q", data, 72)
    return count, clusters, path_ptr, cluster_ptr, checksum


def with_checksum(data):
    at = header(data)[4]
    return data[:at] + hashlib.md5(data[:at]).digest() + data[at + 16:]


def old_namespaces(data):
    """The file as one of the old namespace scheme: minor version 0, content entries in A/."""
    data = bytearray(data)
    count, _, path_ptr, _, _ = header(data)
    struct.pack_into("<H", data, 6, 0)
    for i in range(count):
        at, = struct.unpack_from("<Q", data, path_ptr + 8 * i)
        if data[at + 3] == ord("C"):  # the dirent's namespace byte
            data[at + 3] = ord("A")
    return with_checksum(bytes(data))


class ZimDiscs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="quillon-zim-")
        cls.dir = cls.tmp.name
        cls.zims = {}
        for name, metadata, _, _, _ in VARIANTS:
            path = os.path.join(cls.dir, name + ".zim")
            make_zim(path, metadata, cls.dir)
            cls.zims[name] = path
        with open(cls.zims["old"], "rb") as f:
            old = old_namespaces(f.read())
        with open(cls.zims["old"], "wb") as f:
            f.write(old)
        with open(cls.zims["split"], "rb") as f:
            whole = f.read()
        os.remove(cls.zims["split"])
        third = len(whole) // 3
        for suffix, part in (("aa", whole[:third]), ("ab", whole[third:2 * third]),
                             ("ac", whole[2 * third:])):
            with open(cls.zims["split"] + suffix, "wb") as f:
                f.write(part)
        cls.zims["split"] += "aa"
        # One disc of all three: the first made with create, the others joined with add.
        cls.disc = os.path.join(cls.dir, "disc")
        for n, (name, _, args, _, _) in enumerate(VARIANTS):
            run = tool("create" if n == 0 else "add", cls.disc, "--from-zim", cls.zims[name],
                       "--verify", *args)
            assert run.returncode == 0, run.stderr
        cls.proxy = e2e.Proxy(cls.disc, "--offline")

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.tmp.cleanup()

    def test_every_entry_is_served_with_its_bytes_and_type(self):
        for name, _, _, host, namespace in VARIANTS:
            for kind, path, mime, _, content in ENTRIES:
                url = "http://%s/%s" % (host, urllib.parse.quote(namespace + path))
                with self.subTest(name=name, path=path):
                    status, fields, body = self.proxy.request(url)
                    if kind == "item":
                        self.assertEqual((status, body), (200, content))
                        self.assertEqual(fields["Content-Type"],
                                         mime + ("; charset=utf-8" if mime.startswith("text/") else ""))
                    else:
                        target = "http://%s/%s" % (host, urllib.parse.quote(namespace + mime))
                        self.assertEqual((status, fields.get("Location")), (302, target))
            with self.subTest(name=name, path="/"):
                status, fields, _ = self.proxy.request("http://%s/" % host)
                self.assertEqual((status, fields.get("Location")),
                                 (302, "http://%s/%sHome" % (host, namespace)))
            with self.subTest(name=name, path="M/Title"):
                # Not on the disc: the offline proxy's miss.
                self.assertEqual(self.proxy.request("http://%s/M/Title" % host)[0], 504)

    def test_catalogue_title_start_pages_search_and_check(self):
        self.assertIn("title:   Harbour Wiki\n", tool("list", self.disc).stdout)
        with sqlite3.connect(self.disc + "/catalogue.db") as db:
            pages = set(db.execute("SELECT url, title FROM start_pages"))
        self.assertEqual(pages, {("http://%s/%sHome" % (host, namespace), metadata["Title"])
                                 for _, metadata, _, host, namespace in VARIANTS})
        found = self.proxy.request(START + "search?q=zebrafish")[2].decode()
        for _, _, _, host, namespace in VARIANTS:
            self.assertIn('href="http://%s/%sHome"' % (host, namespace), found)
        found = self.proxy.request(START + "search?q=espresso")[2].decode()
        self.assertIn("http://%s/Caf%%C3%%A9/%%C3%%BC%%20page" % VARIANTS[0][3], found)
        self.assertEqual(tool("check", self.disc, "--deep").returncode, 0)
        again = tool("add", self.disc, "--from-zim", self.zims["new"])
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn("0 documents, 0 redirects", again.stdout)
        self.assertIn("already on the disc", again.stdout)
        # Mirror options a ZIM has no use for are refused, not passed over.
        refused = tool("create", os.path.join(self.dir, "refused"), "--from-zim",
                       self.zims["new"], "--stale-after", "1d")
        self.assertEqual(refused.returncode, 2, refused.stderr)

    def test_damaged_copies_end_with_a_clear_message(self):
        with open(self.zims["new"], "rb") as f:
            good = f.read()
        count, clusters, path_ptr, cluster_ptr, checksum = header(good)
        first_cluster, = struct.unpack_from("<Q", good, cluster_ptr)
        # An uncompressed cluster (info byte 1), whose table of blob offsets lies open.
        plain, plain_at = next((i, at) for i, at in enumerate(
            struct.unpack_from("<%dQ" % clusters, good, cluster_ptr)) if good[at] & 15 == 1)
        # A compressed cluster (zstd, 5), given an xz table claiming a billion blobs.
        packed, packed_at = next((i, at) for i, at in enumerate(
            struct.unpack_from("<%dQ" % clusters, good, cluster_ptr)) if good[at] & 15 == 5)
        claim = lzma.compress(struct.pack("<I", 0xFFFFFFF0), format=lzma.FORMAT_XZ)
        # The Home entry's record (its path, after an 8-byte head and two numbers, is "Home\0").
        home = next(at for at, in (struct.unpack_from("<Q", good, path_ptr + 8 * i)
                                   for i in range(count)) if good[at + 16:at + 21] == b"Home\0")

        def patched(at, value, fmt="<Q"):
            data = bytearray(good)
            struct.pack_into(fmt, data, at, value)
            return bytes(data)

        rows = [
            # name, bytes, options, part of the message
            ("bad magic number", b"XXXX" + good[4:], [], "damaged ZIM file"),
            ("cut in half", good[:len(good) // 2], [], "damaged ZIM file"),
            ("entry pointer out of range", patched(path_ptr + 8, 1 << 40), [], "damaged ZIM file"),
            ("cluster pointer out of range", patched(cluster_ptr, 1 << 40), [], "damaged ZIM file"),
            ("entry count past the pointers", patched(24, 0xFFFFFFF, "<I"), [], "damaged ZIM file"),
            ("changed byte under --verify", patched(first_cluster + 3, 0x5A, "<B"), ["--verify"],
             "checksum does not match"),
            ("checksum past the end", patched(72, 1 << 40), ["--verify"], "damaged ZIM file"),
            ("cluster claiming a billion blobs", patched(plain_at + 1, 0xFFFFFFF0, "<I"), [],
             "cluster %d has a broken table of contents" % plain),
            ("compressed cluster claiming a billion blobs",
             patched(24, 0xFFFFFFFF, "<I")[:packed_at] + b"\x04" + claim
             + good[packed_at + 1 + len(claim):], [], "its tables run past its end"),
            ("entry record at the file's end", patched(path_ptr, len(good) - 4), [],
             "entry record 0 runs past the end of the file"),
            ("blob number past its cluster", patched(home + 12, 0xFFFF, "<I"), [],
             "points past its cluster"),
        ]
        # A fuzzed file whose record names cluster 1,946,183,535: libzim's listing in cluster
        # order sized a table by it and filled 21 GB.
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                               "zim_runaway_listing.zim"), "rb") as f:
            rows.append(("cluster number far past the clusters", f.read(), [],
                         "entry record 0 points past its cluster"))
        for name, data, options, message in rows:
            for command in ("create", "add"):
                with self.subTest(name=name, command=command):
                    broken = os.path.join(self.dir, "broken.zim")
                    with open(broken, "wb") as f:
                        f.write(data)
                    disc = self.disc if command == "add" else os.path.join(self.dir, "broken")
                    before = tool("list", self.disc).stdout
                    run = tool(command, disc, "--from-zim", broken, *options)
                    self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
                    self.assertIn(message, run.stderr)
                    self.assertNotIn("Sanitizer", run.stderr)
                    self.assertFalse(os.path.exists(os.path.join(self.dir, "broken")))
                    self.assertEqual(tool("list", self.disc).stdout, before)

    def test_page_and_picture_in_a_real_browser(self):
        shot = os.environ.get("QUILLON_ZIM_SCREENSHOT") or os.path.join(self.dir, "home.png")
        if not chromium.available():
            self.skipTest("chromium is not installed (%s)" % chromium.INSTALL_HINT)
        url = "http://%s/Home" % VARIANTS[0][3]
        dom, errors = chromium.dump_dom(url, self.proxy.port)
        self.assertIn("Harbour wiki", dom, errors[-2000:])
        self.assertIn('<p id="seen">picture 40</p>', dom)
        self.assertIn("caf\u00e9</a>", dom)  # read as UTF-8, as a ZIM's text is
        errors = chromium.screenshot(url, shot, self.proxy.port, size=(800, 600))
        self.assertTrue(os.path.exists(shot), errors[-2000:])
        with open(shot, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--disc-tool", required=True)
    parser.add_argument("--filter", required=True)
    parser.add_argument("--zim-make", required=True)
    parser.add_argument("--sanitized", action="store_true")
    ARGS, rest = parser.parse_known_args()
    e2e.ARGS = ARGS
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
