#!/usr/bin/env python3
"""Writes the PNG and GIF reader fixtures.

tests/data/read/png/<case>.png beside <case>.expected.png, and tests/data/read/gif/<case>.gif
beside <case>.png: the expected file is the 8-bit RGB picture the reader must produce.

PNG: every colour type at several bit depths, tRNS, 16-bit samples and Adam7 interlacing, encoded
here by hand.  What the reader makes of them: samples below 8 bits are widened by replication,
16-bit samples are scaled to 8 bits as libpng's scale_16 does, and alpha (from an alpha channel or
tRNS) is composited over white as (c * a + 255 * (255 - a) + 127) / 255.

GIF: one or more images with global and local colour tables, offsets, clipping, interlacing,
transparency and extensions, with a small LZW encoder that clears its table before the code width
would grow.  The reader shows the first image on the logical screen filled with the background
colour; transparent pixels leave the fill showing.

Run from anywhere; only the standard library is used.
"""

import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
PNG_OUT = os.path.join(HERE, "read", "png")
GIF_OUT = os.path.join(HERE, "read", "gif")

ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2)]


def chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def pack_row(samples, depth):
    """One row of samples (flat list) at the bit depth, as PNG stores it."""
    if depth == 16:
        return b"".join(struct.pack(">H", s) for s in samples)
    if depth == 8:
        return bytes(samples)
    out, acc, bits = bytearray(), 0, 0
    for s in samples:
        acc = (acc << depth) | s
        bits += depth
        if bits == 8:
            out.append(acc)
            acc, bits = 0, 0
    if bits:
        out.append(acc << (8 - bits))
    return bytes(out)


def write_png_file(path, width, height, depth, ctype, pixels, plte=None, trns=None,
                   interlace=False):
    """pixels[y][x] is a tuple of the samples of one pixel."""
    if interlace:
        raw = b""
        for x0, y0, dx, dy in ADAM7:
            xs, ys = range(x0, width, dx), range(y0, height, dy)
            if not xs or not ys:
                continue
            for y in ys:
                raw += b"\0" + pack_row([s for x in xs for s in pixels[y][x]], depth)
    else:
        raw = b"".join(b"\0" + pack_row([s for px in row for s in px], depth) for row in pixels)
    data = b"\x89PNG\r\n\x1a\n" + chunk(
        b"IHDR", struct.pack(">IIBBBBB", width, height, depth, ctype, 0, 0, 1 if interlace else 0))
    if plte is not None:
        data += chunk(b"PLTE", bytes(c for rgb in plte for c in rgb))
    if trns is not None:
        data += chunk(b"tRNS", trns)
    data += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


def write_expected(path, rows):
    """rows[y][x] = (r, g, b): an 8-bit RGB PNG."""
    write_png_file(path, len(rows[0]), len(rows), 8, 2, rows)


# ---- what the reader makes of samples ----------------------------------------------------------

def to8(v, depth):
    if depth == 16:
        hi, lo = v >> 8, v & 255
        return hi + (((lo - hi + 128) * 65535) >> 24)
    return v * 255 // ((1 << depth) - 1)


def over_white(c, a):
    return (c * a + 255 * (255 - a) + 127) // 255


# ---- PNG cases ---------------------------------------------------------------------------------

def sample(x, y, k, depth):
    """A varied sample value for channel k at (x, y)."""
    top = (1 << depth) - 1
    return (x * 37 + y * 91 + k * 53 + x * y * 7) % (top + 1) if depth < 16 else \
        (x * 4099 + y * 12011 + k * 30011 + x * y * 977) % 65536


def png_cases():
    cases = []

    def gray(name, w, h, depth, trns=None, interlace=False):
        px = [[(sample(x, y, 0, depth),) for x in range(w)] for y in range(h)]
        exp = []
        for row in px:
            out = []
            for (v,) in row:
                g = to8(v, depth)
                a = 0 if trns is not None and v == trns else 255
                out.append((over_white(g, a),) * 3)
            exp.append(out)
        t = struct.pack(">H", trns) if trns is not None else None
        cases.append((name, w, h, depth, 0, px, None, t, interlace, exp))

    def gray_alpha(name, w, h, depth, interlace=False):
        px = [[(sample(x, y, 0, depth), sample(x, y, 3, depth)) for x in range(w)]
              for y in range(h)]
        exp = [[(over_white(to8(v, depth), to8(a, depth)),) * 3 for v, a in row] for row in px]
        cases.append((name, w, h, depth, 4, px, None, None, interlace, exp))

    def rgb(name, w, h, depth, trns=None, interlace=False, force_match=True):
        px = [[tuple(sample(x, y, k, depth) for k in range(3)) for x in range(w)]
              for y in range(h)]
        if trns is not None and force_match:
            px[1][2] = trns
            px[h - 1][0] = trns
        exp = []
        for row in px:
            a_row = []
            for p in row:
                a = 0 if trns is not None and p == trns else 255
                a_row.append(tuple(over_white(to8(v, depth), a) for v in p))
            exp.append(a_row)
        t = struct.pack(">HHH", *trns) if trns is not None else None
        cases.append((name, w, h, depth, 2, px, None, t, interlace, exp))

    def rgba(name, w, h, depth, interlace=False):
        px = [[tuple(sample(x, y, k, depth) for k in range(4)) for x in range(w)]
              for y in range(h)]
        px[0][0] = px[0][0][:3] + (0,)  # fully transparent
        px[0][1] = px[0][1][:3] + ((1 << depth) - 1,)  # opaque
        exp = [[tuple(over_white(to8(v, depth), to8(p[3], depth)) for v in p[:3]) for p in row]
               for row in px]
        cases.append((name, w, h, depth, 6, px, None, None, interlace, exp))

    def palette(name, w, h, depth, entries, trns=None, interlace=False):
        plte = [((i * 71) % 256, (i * 29 + 100) % 256, (255 - i * 13) % 256)
                for i in range(entries)]
        px = [[((x * 3 + y * 5 + x * y) % entries,) for x in range(w)] for y in range(h)]
        exp = []
        for row in px:
            out = []
            for (i,) in row:
                a = trns[i] if trns is not None and i < len(trns) else 255
                out.append(tuple(over_white(c, a) for c in plte[i]))
            exp.append(out)
        cases.append((name, w, h, depth, 3, px, plte, bytes(trns) if trns else None, interlace,
                      exp))

    gray("gray1", 13, 5, 1)
    gray("gray4_trns", 9, 6, 4, trns=5)
    gray("gray16", 7, 4, 16)
    gray_alpha("graya8", 8, 5, 8)
    gray_alpha("graya16_interlaced", 11, 9, 16, interlace=True)
    rgb("rgb8_interlaced", 17, 11, 8, interlace=True)
    rgb("rgb16_trns", 6, 5, 16, trns=(1000, 20000, 65535))
    rgba("rgba8_interlaced", 10, 10, 8, interlace=True)
    rgba("rgba16", 5, 4, 16)
    palette("pal2_trns", 10, 3, 2, 4, trns=[0, 128, 255])
    palette("pal8_interlaced", 12, 9, 8, 40, interlace=True)
    return cases


# ---- GIF ---------------------------------------------------------------------------------------

def lzw(indices, min_code_size):
    """LZW data of the indices that only ever uses literal codes, with a clear code before the
    code width would grow."""
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    width = min_code_size + 1
    per_clear = (1 << min_code_size) - 2
    codes = []
    for i, v in enumerate(indices):
        if i % per_clear == 0:
            codes.append(clear)
        codes.append(v)
    codes.append(end)
    out, acc, bits = bytearray(), 0, 0
    for c in codes:
        acc |= c << bits
        bits += width
        while bits >= 8:
            out.append(acc & 255)
            acc >>= 8
            bits -= 8
    if bits:
        out.append(acc & 255)
    blocks = b"".join(bytes([len(out[i:i + 255])]) + bytes(out[i:i + 255])
                      for i in range(0, len(out), 255))
    return bytes([min_code_size]) + blocks + b"\0"


def table_bits(colors):
    n = 1
    while (1 << n) < len(colors):
        n += 1
    return n


def color_table(colors):
    n = table_bits(colors)
    padded = list(colors) + [(0, 0, 0)] * ((1 << n) - len(colors))
    return bytes(c for rgb in padded for c in rgb), n


def gif_image(left, top, w, h, pixels, local=None, interlace=False, table_size=256):
    """pixels[y][x] = index; rows are written in interlaced order when asked. Without a local
    table, table_size is the size of the global table the indices refer to."""
    order = list(range(h))
    if interlace:
        order = [y for start, step in ((0, 8), (4, 8), (2, 4), (1, 2))
                 for y in range(start, h, step)]
    flags = 0x40 if interlace else 0
    table = b""
    bits = max(2, table_bits([0] * table_size))
    if local is not None:
        table, n = color_table(local)
        flags |= 0x80 | (n - 1)
        bits = max(2, n)
    data = b"\x2c" + struct.pack("<HHHHB", left, top, w, h, flags) + table
    return data + lzw([pixels[y][x] for y in order for x in range(w)], bits)


def gce(transparent):
    return b"\x21\xf9\x04" + bytes([1 if transparent is not None else 0, 0, 0,
                                     transparent or 0]) + b"\0"


def gif_file(sw, sh, global_colors, background, body):
    flags, table = 0, b""
    if global_colors is not None:
        table, n = color_table(global_colors)
        flags = 0x80 | 0x70 | (n - 1)
    return b"GIF89a" + struct.pack("<HHBBB", sw, sh, flags, background, 0) + table + body + b";"


def render_gif(sw, sh, fill, left, top, w, h, pixels, colors, transparent=None):
    out = [[fill] * sw for _ in range(sh)]
    for y in range(h):
        for x in range(w):
            sx, sy = left + x, top + y
            if sx < sw and sy < sh and pixels[y][x] != transparent:
                out[sy][sx] = colors[pixels[y][x]]
    return out


def gif_cases():
    pal16 = [((i * 53) % 256, (i * 17) % 256, (200 - i * 11) % 256) for i in range(16)]
    pal8 = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (250, 240, 10), (0, 0, 0), (255, 255, 255),
            (90, 90, 90), (10, 200, 150)]
    local4 = [(200, 100, 50), (20, 40, 60), (1, 2, 3), (240, 240, 240)]

    def pix(w, h, n):
        return [[(x + 2 * y + x * y) % n for x in range(w)] for y in range(h)]

    cases = []
    p = pix(12, 8, 16)
    cases.append(("plain", gif_file(12, 8, pal16, 0, gif_image(0, 0, 12, 8, p, table_size=16)),
                  render_gif(12, 8, pal16[0], 0, 0, 12, 8, p, pal16)))
    p = pix(6, 5, 4)
    cases.append(("offset_local",
                  gif_file(14, 10, pal8, 3, gif_image(5, 3, 6, 5, p, local=local4)),
                  render_gif(14, 10, pal8[3], 5, 3, 6, 5, p, local4)))
    p = pix(10, 13, 8)
    cases.append(("interlaced", gif_file(10, 13, pal8, 0, gif_image(0, 0, 10, 13, p, interlace=True, table_size=8)),
                  render_gif(10, 13, pal8[0], 0, 0, 10, 13, p, pal8)))
    p = pix(7, 6, 8)
    cases.append(("transparent",
                  gif_file(9, 8, pal8, 6, gce(2) + gif_image(1, 1, 7, 6, p, table_size=8)),
                  render_gif(9, 8, pal8[6], 1, 1, 7, 6, p, pal8, transparent=2)))
    p = pix(8, 8, 16)
    cases.append(("clipped", gif_file(10, 7, pal16, 5, gif_image(6, 4, 8, 8, p, table_size=16)),
                  render_gif(10, 7, pal16[5], 6, 4, 8, 8, p, pal16)))
    p1, p2 = pix(5, 4, 8), pix(5, 4, 3)
    cases.append(("two_frames",
                  gif_file(5, 4, pal8, 0, gce(None) + gif_image(0, 0, 5, 4, p1, table_size=8) + gce(None) +
                           gif_image(0, 0, 5, 4, p2, table_size=8)),
                  render_gif(5, 4, pal8[0], 0, 0, 5, 4, p1, pal8)))
    # No global table (white fill), extensions before the image, a local table.
    ext = (b"\x21\xfe\x05hello\0" + b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\0")
    p = pix(4, 3, 4)
    cases.append(("no_global_table", gif_file(6, 5, None, 0, ext + gif_image(2, 1, 4, 3, p,
                                                                             local=local4)),
                  render_gif(6, 5, (255, 255, 255), 2, 1, 4, 3, p, local4)))
    return cases


def main():
    os.makedirs(PNG_OUT, exist_ok=True)
    os.makedirs(GIF_OUT, exist_ok=True)
    for name, w, h, depth, ctype, px, plte, trns, interlace, exp in png_cases():
        write_png_file(os.path.join(PNG_OUT, name + ".png"), w, h, depth, ctype, px, plte, trns,
                       interlace)
        write_expected(os.path.join(PNG_OUT, name + ".expected.png"), exp)
    for name, data, exp in gif_cases():
        with open(os.path.join(GIF_OUT, name + ".gif"), "wb") as f:
            f.write(data)
        write_expected(os.path.join(GIF_OUT, name + ".png"), exp)


if __name__ == "__main__":
    main()
