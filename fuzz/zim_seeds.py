#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_zim (fuzz/corpus/zim/): small ZIM files laid out by hand, a few
hundred bytes each (libzim's writer adds a 32 KiB title index to every file), in both namespace
schemes, with redirects, a compressed cluster and a split cluster table.

    fuzz/zim_seeds.py fuzz/corpus/zim
"""
import hashlib
import lzma
import os
import struct
import sys

MAGIC = 72173914
NO_PAGE = 0xFFFFFFFF
REDIRECT = 0xFFFF


def cluster(blobs, compression):
    """A cluster: its info byte (1 none, 4 xz, 5 zstd), then the blob offsets and the blobs."""
    offsets, at = [], 4 * (len(blobs) + 1)
    for blob in blobs:
        offsets.append(at)
        at += len(blob)
    offsets.append(at)
    body = struct.pack("<%dI" % len(offsets), *offsets) + b"".join(blobs)
    if compression == 4:
        body = lzma.compress(body, format=lzma.FORMAT_XZ)
    return bytes([compression]) + body


def zim(entries, main, minor, compression=1, mimes=("text/html", "image/png", "text/plain")):
    """entries: (namespace, path, title, MIME index or ("redirect", (namespace, path)), data)."""
    entries = sorted(entries, key=lambda e: (e[0], e[1]))
    index = {(e[0], e[1]): i for i, e in enumerate(entries)}
    blobs = [e[4] for e in entries if not isinstance(e[3], tuple)]
    dirents, blob = [], 0
    for ns, path, title, mime, _ in entries:
        head = ns.encode()
        if isinstance(mime, tuple):
            d = struct.pack("<HB", REDIRECT, 0) + head + struct.pack("<II", 0, index[mime[1]])
        else:
            d = struct.pack("<HB", mime, 0) + head + struct.pack("<III", 0, 0, blob)
            blob += 1
        dirents.append(d + path.encode() + b"\0" + title.encode() + b"\0")
    mime_list = b"".join(m.encode() + b"\0" for m in mimes) + b"\0"
    at = 80 + len(mime_list)
    path_ptr = at
    at += 8 * len(entries)
    title_ptr = at
    at += 4 * len(entries)
    cluster_ptr = at
    at += 8
    dirent_at = []
    for d in dirents:
        dirent_at.append(at)
        at += len(d)
    cluster_at = at
    body = cluster(blobs, compression)
    checksum_at = cluster_at + len(body)
    titles = sorted(range(len(entries)), key=lambda i: (entries[i][0], entries[i][2] or entries[i][1]))
    header = struct.pack("<IHH16sIIQQQQIIQ", MAGIC, 6 if minor else 5, minor, b"quillon-seed-zim",
                         len(entries), 1, path_ptr, title_ptr, cluster_ptr, 80,
                         index[main] if main else NO_PAGE, NO_PAGE, checksum_at)
    data = (header + mime_list + struct.pack("<%dQ" % len(entries), *dirent_at) +
            struct.pack("<%dI" % len(entries), *titles) + struct.pack("<Q", cluster_at) +
            b"".join(dirents) + body)
    return data + hashlib.md5(data).digest()


PAGE = b"<html><head><title>Home</title></head><body><p>tide</p><img src='pic.png'></body></html>"
META = [("M", "Title", "", 2, b"Seed"), ("M", "Name", "", 2, b"seed_en"),
        ("M", "Date", "", 2, b"2024-01-31")]

SEEDS = {
    "new-scheme.zim": zim(META + [("C", "Home", "Home", 0, PAGE), ("C", "pic.png", "", 1, b"\x89PNG"),
                                  ("C", "Old", "Old", ("redirect", ("C", "Home")), b""),
                                  ("W", "mainPage", "", ("redirect", ("C", "Home")), b"")],
                          ("W", "mainPage"), 1),
    "old-scheme.zim": zim(META + [("A", "Home", "Home", 0, PAGE), ("I", "pic.png", "", 1, b"\x89PNG"),
                                  ("A", "Caf\u00e9 ?", "", ("redirect", ("A", "Home")), b""),
                                  ("-", "style.css", "", 2, b"p{}")],
                          ("A", "Home"), 0),
    "xz-cluster.zim": zim(META + [("C", "Home", "Home", 0, PAGE * 4)], ("C", "Home"), 1,
                          compression=4),
    "redirect-loop.zim": zim(META + [("C", "a", "", ("redirect", ("C", "b")), b""),
                                     ("C", "b", "", ("redirect", ("C", "a")), b"")], ("C", "a"), 1),
}


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
