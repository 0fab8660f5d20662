#!/usr/bin/env python3
"""Writes the fuzzer's seed images: a small FAT32 and a small exFAT volume, each a few KiB, with
long and short names, nested folders and folders of several clusters (the fuzzer's disk is 40 MiB,
zeros after the seed, which is what makes the FAT32 one count as FAT32)."""
import os
import struct
import sys

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "fs_tree")
os.makedirs(out, exist_ok=True)


def put(buf, at, data):
    if len(buf) < at + len(data):
        buf.extend(b"\0" * (at + len(data) - len(buf)))
    buf[at:at + len(data)] = data


def fat32():
    img = bytearray(512)
    img[3:11] = b"MSWIN4.1"
    struct.pack_into("<HBHBH", img, 11, 512, 1, 1, 1, 0)  # bytes/sector, sectors/cluster, reserved, FATs, root entries
    struct.pack_into("<I", img, 36, 4)  # sectors per FAT
    struct.pack_into("<I", img, 44, 2)  # root cluster
    img[510:512] = b"\x55\xaa"
    fat = 512
    data = 512 * 5

    def link(c, n):
        put(img, fat + 4 * c, struct.pack("<I", n))

    def entry(cluster, slot, name11, attr, first, size=0, case=0):
        e = bytearray(32)
        e[0:11] = name11
        e[11] = attr
        e[12] = case
        struct.pack_into("<H", e, 20, first >> 16)
        struct.pack_into("<H", e, 26, first & 0xFFFF)
        struct.pack_into("<I", e, 28, size)
        put(img, data + (cluster - 2) * 512 + 32 * slot, bytes(e))

    def lfn(cluster, slot, seq, text, last):
        e = bytearray(32)
        e[0] = seq | (0x40 if last else 0)
        e[11] = 0x0F
        units = [ord(c) for c in text[(seq - 1) * 13:seq * 13]]
        if len(units) < 13:
            units += [0] + [0xFFFF] * (12 - len(units))
        for i, off in enumerate([1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30]):
            struct.pack_into("<H", e, off, units[i])
        put(img, data + (cluster - 2) * 512 + 32 * slot, bytes(e))

    for c, n in [(0, 0x0FFFFFF8), (1, 0x0FFFFFFF), (2, 3), (3, 0x0FFFFFFF), (4, 0x0FFFFFFF), (5, 0x0FFFFFFF)]:
        link(c, n)
    lfn(2, 0, 2, "A long name é here.jpg", True)
    lfn(2, 1, 1, "A long name é here.jpg", False)
    entry(2, 2, b"ALONGN~1JPG", 0x20, 5, 100)
    entry(2, 3, b"META    XML", 0x20, 0, 0, 0x18)
    entry(2, 4, b"DCIM       ", 0x10, 4)
    entry(2, 5, b"\xe5ELETED TXT", 0x20, 0, 3)
    for i in range(6, 16):
        entry(2, i, b"FILE%d   BIN" % (i - 6), 0x20, 0, i)
    entry(3, 0, b"LAST    BIN", 0x20, 0, 1)
    entry(4, 0, b".          ", 0x10, 4)
    entry(4, 1, b"..         ", 0x10, 0)
    entry(4, 2, b"DSC00001JPG", 0x20, 5, 100)
    entry(4, 3, b"UP         ", 0x10, 2)
    return bytes(img)


def exfat():
    img = bytearray(512)
    img[3:11] = b"EXFAT   "
    struct.pack_into("<IIIII", img, 80, 1, 1, 2, 100, 2)  # FAT offset, FAT length, heap offset, clusters, root
    img[108], img[109] = 9, 0
    img[510:512] = b"\x55\xaa"

    def link(c, n):
        put(img, 512 + 4 * c, struct.pack("<I", n))

    def file_set(name, is_dir, first, size, contiguous=False):
        names = (len(name) + 14) // 15
        s = bytearray(32 * (2 + names))
        s[0], s[1] = 0x85, 1 + names
        struct.pack_into("<H", s, 4, 0x10 if is_dir else 0x20)
        s[32], s[33], s[35] = 0xC0, 0x03 if contiguous else 0x01, len(name)
        struct.pack_into("<IQ", s, 52, first, size)
        for i, ch in enumerate(name):
            e = 64 + 32 * (i // 15)
            s[e] = 0xC1
            struct.pack_into("<H", s, e + 2 + 2 * (i % 15), ord(ch))
        return bytes(s)

    def folder(clusters, entries):
        for i in range(0, len(entries), 512):
            put(img, 1024 + (clusters[i // 512] - 2) * 512, entries[i:i + 512])

    link(0, 0xFFFFFFF8), link(1, 0xFFFFFFFF), link(2, 5), link(5, 0xFFFFFFFF)
    root = bytes([0x83, 0]) + bytes(30)  # an empty volume label entry
    root += file_set("DCIM", True, 3, 1024, contiguous=True)
    root += file_set("a name of twenty chr", False, 7, 5 << 30)
    for i in range(5):
        root += file_set("clip %d.mp4" % i, False, 8 + i, 1000)
    folder([2, 5], root)
    sub = b"".join(file_set("photo %d.jpg" % i, False, 20 + i, 50) for i in range(8))
    sub += file_set("up", True, 2, 512)
    folder([3, 4], sub)
    return bytes(img)


for name, image in [("fat32-small.img", fat32()), ("exfat-small.img", exfat())]:
    with open(os.path.join(out, name), "wb") as f:
        f.write(image)
