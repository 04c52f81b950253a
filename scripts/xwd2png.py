#!/usr/bin/env python3
"""Converts an X window dump (xwd, ZPixmap of 24 or 32 bits per pixel, as an
X server of depth 24 writes it) into an 8-bit RGB PNG, with the standard
library alone. Optionally crops: xwd2png.py IN.xwd OUT.png [X Y W H]."""
import struct
import sys
import zlib


def read_xwd(data):
    fields = struct.unpack(">25I", data[:100])
    (header_size, version, pixmap_format, depth, width, height, _xoffset, byte_order,
     _unit, _bit_order, _pad, bits_per_pixel, bytes_per_line, _visual, red_mask,
     green_mask, blue_mask, _bits_rgb, _entries, ncolors) = fields[:20]
    if version != 7 or pixmap_format != 2 or bits_per_pixel not in (24, 32):
        raise ValueError("not a 24- or 32-bit ZPixmap window dump")
    start = header_size + 12 * ncolors
    if len(data) < start + bytes_per_line * height:
        raise ValueError("the dump is cut short")
    step = bits_per_pixel // 8
    shifts = [(m, (m & -m).bit_length() - 1) for m in (red_mask, green_mask, blue_mask)]
    order = "little" if byte_order == 0 else "big"
    rows = []
    for y in range(height):
        line = data[start + y * bytes_per_line:start + y * bytes_per_line + width * step]
        row = bytearray(width * 3)
        for x in range(width):
            p = int.from_bytes(line[x * step:x * step + step], order)
            for c, (mask, shift) in enumerate(shifts):
                row[x * 3 + c] = (p & mask) >> shift
        rows.append(bytes(row))
    return width, height, rows


def cost(row):
    """The sum of the bytes as signed differences."""
    return sum(v if v < 128 else 256 - v for v in row)


def filtered_rows(rows):
    """Each row with the PNG filter, none, Sub or Up, that leaves the smallest
    differences: pictures of windows and photographs then pack far tighter."""
    previous = bytes(len(rows[0])) if rows else b""
    for row in rows:
        sub = row[:3] + bytes((a - b) & 0xFF for a, b in zip(row[3:], row))
        up = bytes((a - b) & 0xFF for a, b in zip(row, previous))
        kind, body = min(((0, row), (1, sub), (2, up)), key=lambda c: cost(c[1]))
        yield bytes((kind,)) + body
        previous = row


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    raw = b"".join(filtered_rows(rows))
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def main(argv):
    if len(argv) not in (3, 7):
        sys.exit("usage: xwd2png.py IN.xwd OUT.png [X Y W H]")
    with open(argv[1], "rb") as f:
        width, height, rows = read_xwd(f.read())
    if len(argv) == 7:
        x, y, w, h = (int(v) for v in argv[3:])
        w, h = min(w, width - x), min(h, height - y)
        rows = [r[x * 3:(x + w) * 3] for r in rows[y:y + h]]
        width, height = w, h
    write_png(argv[2], width, height, rows)


if __name__ == "__main__":
    main(sys.argv)
