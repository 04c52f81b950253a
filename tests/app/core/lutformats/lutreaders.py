"""Readers of the LUT file formats written from their published descriptions,
with nothing but Python's standard library, to check the program's writers
independently of its own readers:

  .cube   Resolve/Adobe cube text: LUT_3D_SIZE, red varying fastest
  .3dl    Autodesk: mesh line, integer outputs (depth from the largest
          value: 10, 12 or 16 bits), blue varying fastest
  .csp    Cinespace: CSPLUTV100, 3D, metadata, three pre-LUTs, red fastest
  .spi3d  Sony Imageworks: SPILUT 1.0, 3 3, size, "i j k r g b" lines
  .clf    Academy/ASC Common LUT Format (SMPTE ST 2136-1): Range, LUT1D and
          LUT3D nodes (blue fastest) at 32-bit float
  Hald    PNG (RFC 2083: chunks, zlib, the five row filters) and TIFF 6.0
          (baseline strips, none/deflate compression, horizontal predictor),
          8 or 16 bits, red fastest in reading order

Each reader gives a Table: a function from RGB to RGB (the pre-LUTs or
range, then trilinear interpolation of the grid).
"""
import math
import re
import struct
import xml.etree.ElementTree as ET
import zlib


class Table:
    def __init__(self, n, nodes, shaper=None, lo=0.0, hi=1.0):
        self.n = n
        self.nodes = nodes          # n^3 triples, red fastest
        self.shaper = shaper        # per channel: a function onto 0 .. 1
        self.lo, self.hi = lo, hi

    def __call__(self, rgb):
        n = self.n
        at = []
        for c in range(3):
            x = (rgb[c] - self.lo) / (self.hi - self.lo)
            if self.shaper:
                x = self.shaper[c](x)
            at.append(min(max(x, 0.0), 1.0) * (n - 1))
        base = [min(int(a), n - 2) for a in at]
        f = [a - b for a, b in zip(at, base)]
        out = [0.0, 0.0, 0.0]
        for corner in range(8):
            idx = [base[c] + ((corner >> c) & 1) for c in range(3)]
            w = 1.0
            for c in range(3):
                w *= f[c] if (corner >> c) & 1 else 1 - f[c]
            node = self.nodes[(idx[2] * n + idx[1]) * n + idx[0]]
            for c in range(3):
                out[c] += w * node[c]
        return out


def _lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield line.split()


def _blue_fastest(n, values):
    """Triples listed with blue fastest, rearranged red fastest."""
    nodes = [None] * (n * n * n)
    k = 0
    for r in range(n):
        for g in range(n):
            for b in range(n):
                nodes[(b * n + g) * n + r] = values[k]
                k += 1
    return nodes


def read_cube(path):
    n, data = 0, []
    for w in _lines(path):
        if w[0] == "LUT_3D_SIZE":
            n = int(w[1])
        elif w[0][0].isdigit() or w[0][0] in "-.":
            data.append([float(v) for v in w])
    assert len(data) == n ** 3, "%s: %d lines for %d points" % (path, len(data), n)
    return Table(n, data)


def read_3dl(path):
    rows = list(_lines(path))
    mesh = rows[0] if len(rows[0]) > 3 else None
    data = [[int(v) for v in w] for w in (rows[1:] if mesh else rows)]
    n = len(mesh) if mesh else round(len(data) ** (1 / 3))
    assert len(data) == n ** 3
    largest = max(max(t) for t in data)
    top = 1023 if largest <= 1023 else 4095 if largest <= 4095 else 65535
    return Table(n, _blue_fastest(n, [[v / top for v in t] for t in data]))


def _piecewise(xs, ys):
    def f(x):
        if x <= xs[0]:
            return ys[0]
        for i in range(1, len(xs)):
            if x <= xs[i]:
                return ys[i - 1] + (ys[i] - ys[i - 1]) * (x - xs[i - 1]) / (xs[i] - xs[i - 1])
        return ys[-1]
    return f


def read_csp(path):
    with open(path, encoding="utf-8") as f:
        lines = [l.strip() for l in f if l.strip()]
    assert lines[0] == "CSPLUTV100" and lines[1] == "3D"
    i = 2
    if lines[i] == "BEGIN METADATA":
        i = lines.index("END METADATA") + 1
    pre = []
    for c in range(3):
        count = int(lines[i])
        xs = [float(v) for v in lines[i + 1].split()]
        ys = [float(v) for v in lines[i + 2].split()]
        assert len(xs) == len(ys) == count
        pre.append((xs, ys))
        i += 3
    n = int(lines[i].split()[0])
    data = [[float(v) for v in l.split()] for l in lines[i + 1:]]
    assert len(data) == n ** 3
    # The pre-LUTs map the input onto the grid's 0 .. 1; the Table's input
    # is then taken as it comes (its range 0 .. 1 is the identity).
    return Table(n, data, shaper=[_piecewise(*p) for p in pre])


def read_spi3d(path):
    rows = list(_lines(path))
    assert rows[0][0] == "SPILUT" and rows[1] == ["3", "3"]
    n = int(rows[2][0])
    nodes = [None] * (n ** 3)
    for w in rows[3:]:
        r, g, b = (int(v) for v in w[:3])
        nodes[(b * n + g) * n + r] = [float(v) for v in w[3:]]
    assert all(v is not None for v in nodes)
    return Table(n, nodes)


def read_clf(path):
    root = ET.parse(path).getroot()
    local = lambda e: e.tag.split("}")[-1]
    assert local(root) == "ProcessList"
    shaper, lo, hi, table = None, 0.0, 1.0, None
    for node in root:
        kind = local(node)
        array = next((c for c in node if local(c) == "Array"), None)
        values = [float(v) for v in array.text.split()] if array is not None else []
        if kind == "Range":
            get = {local(c): float(c.text) for c in node}
            lo, hi = get["minInValue"], get["maxInValue"]
            assert get["minOutValue"] == 0 and get["maxOutValue"] == 1
        elif kind == "LUT1D":
            count = int(array.get("dim").split()[0])
            xs = [i / (count - 1) for i in range(count)]
            shaper = [_piecewise(xs, values[c::3]) for c in range(3)]
        elif kind == "LUT3D":
            n = int(array.get("dim").split()[0])
            triples = [values[i:i + 3] for i in range(0, len(values), 3)]
            table = Table(n, _blue_fastest(n, triples), shaper, lo, hi)
        else:
            assert kind in ("Description", "InputDescriptor", "OutputDescriptor"), kind
    return table


def _png_pixels(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert colour in (2, 6) and interlace == 0
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    channels = 3 if colour == 2 else 4
    bpp = channels * depth // 8
    stride = width * bpp
    raw = zlib.decompress(idat)
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    fmt = ">%dH" % (width * channels) if depth == 16 else "%dB" % (width * channels)
    pixels = []
    for line in rows:
        v = struct.unpack(fmt, line)
        pixels += [v[i:i + 3] for i in range(0, len(v), channels)]
    return width, depth, pixels


def _tiff_pixels(path):
    data = open(path, "rb").read()
    e = "<" if data[:2] == b"II" else ">"
    (ifd,) = struct.unpack(e + "I", data[4:8])
    (count,) = struct.unpack(e + "H", data[ifd:ifd + 2])
    sizes = {1: 1, 2: 1, 3: 2, 4: 4}
    tags = {}
    for k in range(count):
        tag, kind, n, value = struct.unpack(e + "HHI4s", data[ifd + 2 + 12 * k:ifd + 14 + 12 * k])
        size = sizes[kind] * n
        raw = value if size <= 4 else data[struct.unpack(e + "I", value)[0]:][:size]
        code = {1: "B", 2: "c", 3: "H", 4: "I"}[kind]
        tags[tag] = struct.unpack(e + code * n, raw[:size])
    width, height = tags[256][0], tags[257][0]
    depth, channels = tags[258][0], tags[277][0]
    compression, predictor = tags.get(259, (1,))[0], tags.get(317, (1,))[0]
    strip = b""
    for offset, size in zip(tags[273], tags[279]):
        chunk = data[offset:offset + size]
        strip += zlib.decompress(chunk) if compression in (8, 32946) else chunk
    word = "H" if depth == 16 else "B"
    samples = list(struct.unpack(e + word * (width * height * channels), strip[:width * height * channels * depth // 8]))
    if predictor == 2:
        mask = 65535 if depth == 16 else 255
        for y in range(height):
            row = y * width * channels
            for i in range(channels, width * channels):
                samples[row + i] = (samples[row + i] + samples[row + i - channels]) & mask
    pixels = [samples[i:i + 3] for i in range(0, len(samples), channels)]
    return width, depth, pixels


def read_hald(path):
    width, depth, pixels = (_png_pixels if path.endswith(".png") else _tiff_pixels)(path)
    level = round(width ** (1 / 3))
    n = level * level
    top = (1 << depth) - 1
    return Table(n, [[v / top for v in p] for p in pixels[:n ** 3]])


READERS = {".cube": read_cube, ".3dl": read_3dl, ".csp": read_csp, ".spi3d": read_spi3d, ".clf": read_clf,
           ".png": read_hald, ".tif": read_hald}


def read(path):
    return READERS[path[path.rfind("."):]](path)
