#!/usr/bin/env python3
"""Test images written and read with Python's standard library alone, so that
the program's image files meet files it did not make.

  imagemaker.py tiff OUT BITS MODEL PIXELS [ICC]   uncompressed TIFF
  imagemaker.py png  OUT BITS MODEL PIXELS [ICC]   PNG with an iCCP chunk
  imagemaker.py ppm  OUT PIXELS                    8-bit binary PPM
  imagemaker.py dump TIFF                          pixels of an uncompressed TIFF

MODEL is gray, graya, rgb, rgba, cmyk or cmyka; PIXELS are samples separated
by commas, pixels by spaces and rows by '/' ("255,0,0 0,255,0/0,0,255 9,9,9").
dump prints "bits=B spp=N photometric=P" and then the pixels in that form.
"""
import struct
import sys
import zlib

CHANNELS = {'gray': 1, 'graya': 2, 'rgb': 3, 'rgba': 4, 'cmyk': 4, 'cmyka': 5}
PHOTOMETRIC = {'gray': 1, 'graya': 1, 'rgb': 2, 'rgba': 2, 'cmyk': 5, 'cmyka': 5}


def parse_pixels(text, channels):
    rows = [[[int(v) for v in p.split(',')] for p in row.split()] for row in text.split('/')]
    for row in rows:
        if len(row) != len(rows[0]) or any(len(p) != channels for p in row):
            sys.exit('ragged pixels')
    return rows


def pack(samples, bits, big_endian):
    if bits == 8:
        return bytes(samples)
    return struct.pack(('>' if big_endian else '<') + 'H' * len(samples), *samples)


def write_tiff(path, rows, bits, model, icc=None):
    height, width, spp = len(rows), len(rows[0]), CHANNELS[model]
    data = b''.join(pack([s for p in row for s in p], bits, False) for row in rows)
    extra_samples = spp - (1 if model.startswith('gray') else 3 if model.startswith('rgb') else 4)
    tags = [(256, 4, 1, width), (257, 4, 1, height), (258, 3, spp, None), (259, 3, 1, 1),
            (262, 3, 1, PHOTOMETRIC[model]), (273, 4, 1, None), (277, 3, 1, spp), (278, 4, 1, height),
            (279, 4, 1, len(data)), (284, 3, 1, 1)]
    if extra_samples:
        tags.append((338, 3, 1, 2))  # unassociated alpha
    if icc:
        tags.append((34675, 7, len(icc), None))
    tags.sort()
    ifd_size = 2 + 12 * len(tags) + 4
    bits_at = 8 + ifd_size
    icc_at = bits_at + 2 * spp
    data_at = icc_at + (len(icc) + (len(icc) & 1) if icc else 0)
    out = bytearray(b'II*\x00' + struct.pack('<I', 8) + struct.pack('<H', len(tags)))
    for tag, typ, count, value in tags:
        if tag == 258:
            value = bits if spp == 1 else bits_at
        elif tag == 273:
            value = data_at
        elif tag == 34675:
            value = icc_at
        if typ == 3 and count == 1:
            out += struct.pack('<HHIHH', tag, typ, count, value, 0)
        else:
            out += struct.pack('<HHII', tag, typ, count, value)
    out += struct.pack('<I', 0)
    out += struct.pack('<' + 'H' * spp, *([bits] * spp))
    if icc:
        out += icc + (b'\x00' if len(icc) & 1 else b'')
    out += data
    open(path, 'wb').write(bytes(out))


def png_chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body) & 0xFFFFFFFF)


def write_png(path, rows, bits, model, icc=None):
    color_type = {'gray': 0, 'graya': 4, 'rgb': 2, 'rgba': 6}[model]
    height, width = len(rows), len(rows[0])
    raw = b''.join(b'\x00' + pack([s for p in row for s in p], bits, True) for row in rows)
    out = b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, bits, color_type, 0, 0, 0))
    if icc:
        out += png_chunk(b'iCCP', b'test profile\x00\x00' + zlib.compress(icc))
    out += png_chunk(b'IDAT', zlib.compress(raw)) + png_chunk(b'IEND', b'')
    open(path, 'wb').write(out)


def write_ppm(path, rows):
    height, width = len(rows), len(rows[0])
    open(path, 'wb').write(b'P6\n%d %d\n255\n' % (width, height) + bytes(s for row in rows for p in row for s in p))


def dump_tiff(path):
    blob = open(path, 'rb').read()
    e = '<' if blob[:2] == b'II' else '>'
    ifd = struct.unpack(e + 'I', blob[4:8])[0]
    count = struct.unpack(e + 'H', blob[ifd:ifd + 2])[0]
    tags = {}
    for i in range(count):
        tag, typ, n, raw = struct.unpack(e + 'HHI4s', blob[ifd + 2 + 12 * i:ifd + 14 + 12 * i])
        size = {1: 1, 2: 1, 3: 2, 4: 4, 7: 1}.get(typ, 4)
        fmt = {1: 'B', 2: 'B', 3: 'H', 4: 'I', 7: 'B'}.get(typ, 'I')
        where = raw if size * n <= 4 else blob[struct.unpack(e + 'I', raw)[0]:][:size * n]
        tags[tag] = list(struct.unpack(e + fmt * n, where[:size * n]))
    if tags.get(259, [1])[0] != 1:
        sys.exit('compressed TIFF')
    width, height, spp = tags[256][0], tags[257][0], tags.get(277, [1])[0]
    bits = tags[258][0]
    data = b''.join(blob[o:o + c] for o, c in zip(tags[273], tags[279]))
    n = width * height * spp
    samples = list(data[:n]) if bits == 8 else list(struct.unpack(e + 'H' * n, data[:2 * n]))
    print('bits=%d spp=%d photometric=%d' % (bits, spp, tags[262][0]))
    rows = []
    for y in range(height):
        row = samples[y * width * spp:(y + 1) * width * spp]
        rows.append(' '.join(','.join(str(v) for v in row[x * spp:(x + 1) * spp]) for x in range(width)))
    print('/'.join(rows))


def main():
    kind = sys.argv[1]
    if kind == 'dump':
        return dump_tiff(sys.argv[2])
    if kind == 'ppm':
        return write_ppm(sys.argv[2], parse_pixels(sys.argv[3], 3))
    out, bits, model, pixels = sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
    icc = open(sys.argv[6], 'rb').read() if len(sys.argv) > 6 else None
    rows = parse_pixels(pixels, CHANNELS[model])
    (write_tiff if kind == 'tiff' else write_png)(out, rows, bits, model, icc)


if __name__ == '__main__':
    main()
