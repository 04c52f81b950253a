#!/usr/bin/env python3
"""Writes an uncompressed 8-bit RGB TIFF of a smooth photographic-like
pattern, with Python's standard library only.

Usage: make_tiff.py OUT WIDTH HEIGHT [ICC]
"""
import math
import struct
import sys


def pattern_row(width, y, height):
    # Smooth gradients with some texture: every byte value occurs.
    row = bytearray(width * 3)
    fy = y / max(1, height - 1)
    for x in range(width):
        fx = x / max(1, width - 1)
        r = 0.5 + 0.5 * math.sin(6.0 * fx + 2.0 * fy)
        g = fy
        b = 0.5 + 0.5 * math.cos(9.0 * fx * fy)
        i = 3 * x
        row[i] = int(r * 255.0 + 0.5)
        row[i + 1] = int(g * 255.0 + 0.5)
        row[i + 2] = int(b * 255.0 + 0.5)
    return bytes(row)


def write_tiff(path, width, height, icc=None):
    # A band of distinct rows repeated: quick to make, still varied.
    band = [pattern_row(width, y, 256) for y in range(256)]
    rows_per_strip = max(1, 65536 // (width * 3))
    strips = (height + rows_per_strip - 1) // rows_per_strip
    entries = []
    header = 8
    ifd_count = 11 + (1 if icc else 0)
    ifd_size = 2 + 12 * ifd_count + 4
    extra = header + ifd_size
    # Out-of-line values after the directory: bits, offsets, counts, ICC.
    bits_off = extra
    extra += 6
    offsets_off = extra
    extra += 4 * strips
    counts_off = extra
    extra += 4 * strips
    icc_off = extra
    if icc:
        extra += len(icc) + (len(icc) & 1)
    data_off = extra
    strip_offsets = []
    strip_counts = []
    pos = data_off
    for s in range(strips):
        rows = min(rows_per_strip, height - s * rows_per_strip)
        strip_offsets.append(pos)
        strip_counts.append(rows * width * 3)
        pos += rows * width * 3

    def entry(tag, typ, count, value):
        entries.append(struct.pack('<HHII', tag, typ, count, value))

    entry(256, 4, 1, width)
    entry(257, 4, 1, height)
    entry(258, 3, 3, bits_off)
    entry(259, 3, 1, 1)
    entry(262, 3, 1, 2)
    entry(273, 4, strips, offsets_off if strips > 1 else strip_offsets[0])
    entry(274, 3, 1, 1)
    entry(277, 3, 1, 3)
    entry(278, 4, 1, rows_per_strip)
    entry(279, 4, strips, counts_off if strips > 1 else strip_counts[0])
    entry(284, 3, 1, 1)
    if icc:
        entry(34675, 7, len(icc), icc_off)
    with open(path, 'wb') as f:
        f.write(b'II*\x00' + struct.pack('<I', 8))
        f.write(struct.pack('<H', len(entries)))
        for e in entries:
            f.write(e)
        f.write(struct.pack('<I', 0))
        assert f.tell() == bits_off
        f.write(struct.pack('<HHH', 8, 8, 8))
        f.write(b''.join(struct.pack('<I', o) for o in strip_offsets))
        f.write(b''.join(struct.pack('<I', c) for c in strip_counts))
        if icc:
            f.write(icc)
            if len(icc) & 1:
                f.write(b'\x00')
        assert f.tell() == data_off
        for y in range(height):
            f.write(band[y % 256])


if __name__ == '__main__':
    icc = open(sys.argv[4], 'rb').read() if len(sys.argv) > 4 else None
    write_tiff(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), icc)
