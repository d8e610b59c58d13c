#!/usr/bin/env python3
"""Writes the Windows bitmap fixtures of tests/data/read/bmp: each <case>.bmp beside <case>.png,
the picture the reader must produce from it (8-bit RGB PNG written here with zlib).

Every layout is encoded by hand from a picture defined below, so the files exercise the reader's
paths: palette depths with short colour tables, RLE4/RLE8 with deltas, odd literal runs and
skipped pixels, 16- and 32-bit bit fields (also wider than 8 bits per channel), the old core
header, top-down rows and the later header versions.  Run from anywhere; only the standard
library is used.
"""

import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "read", "bmp")


# ---- expected pictures -------------------------------------------------------------------------

def write_png(path, width, height, rows):
    """rows: list of lists of (r, g, b)."""

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


# ---- bitmap building blocks --------------------------------------------------------------------

def file_header(total, off_bits):
    return b"BM" + struct.pack("<IHHI", total, 0, 0, off_bits)


def info_header(size, width, height, bpp, compression, clr_used=0, masks=None, image_size=0):
    h = struct.pack("<IiiHHIIiiII", size, width, height, 1, bpp, compression, image_size, 2835,
                    2835, clr_used, 0)
    if size >= 52:
        m = list(masks or (0, 0, 0, 0)) + [0] * 4
        h += struct.pack("<III", m[0], m[1], m[2])
        if size >= 56:
            h += struct.pack("<I", m[3])
    return h + b"\0" * (size - len(h))


def bitmap(header, palette, pixels, extra=b""):
    """header + extra (masks) + palette bytes + pixel data behind a file header."""
    off = 14 + len(header) + len(extra) + len(palette)
    return file_header(off + len(pixels), off) + header + extra + palette + pixels


def pack_rows(index_rows, bpp):
    out = b""
    for row in index_rows:
        bits = "".join(format(v, "0%db" % bpp) for v in row)
        bits += "0" * (-len(bits) % 32)
        out += int(bits, 2).to_bytes(len(bits) // 8, "big") if bits else b""
    return out


def pad4(b):
    return b + b"\0" * (-len(b) % 4)


def rgbquad(palette):
    return b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)


def scale(v, bits):
    """A channel of `bits` bits widened to 8 bits."""
    if bits > 8:
        return v >> (bits - 8)
    out, pos = 0, 8 - bits
    while True:  # narrow channels repeat their bits downwards: 5 bits 10110 -> 10110101
        out |= v << pos if pos >= 0 else v >> -pos
        if pos <= 0:
            return out
        pos -= bits


# ---- pictures ----------------------------------------------------------------------------------

def palette_of(n, seed):
    return [((i * 53 + seed) % 256, (i * 97 + 2 * seed) % 256, (i * 31 + 255 - seed) % 256)
            for i in range(n)]


def index_picture(w, h, ncolours):
    return [[(x * 3 + y * 5 + (x * y) % 7) % ncolours for x in range(w)] for y in range(h)]


def colour_picture(w, h):
    return [[((x * 37 + y * 11) % 256, (x * 13 + y * 29 + 7) % 256, (x * y * 3 + 100) % 256)
             for x in range(w)] for y in range(h)]


def save(name, data, w, h, rows):
    with open(os.path.join(OUT, name + ".bmp"), "wb") as f:
        f.write(data)
    write_png(os.path.join(OUT, name + ".png"), w, h, rows)


def palette_case(name, w, h, bpp, used, top_down=False):
    pal = palette_of(used, bpp * 10)
    idx = index_picture(w, h, used)
    file_rows = idx if top_down else idx[::-1]
    data = bitmap(info_header(40, w, -h if top_down else h, bpp, 0, clr_used=used), rgbquad(pal),
                  pack_rows(file_rows, bpp))
    save(name, data, w, h, [[pal[i] for i in row] for row in idx])


def core_case(name, w, h):
    pal = palette_of(16, 77)
    idx = index_picture(w, h, 16)
    header = struct.pack("<IHHHH", 12, w, h, 1, 4)
    triples = b"".join(bytes((b, g, r)) for (r, g, b) in pal)
    save(name, bitmap(header, triples, pack_rows(idx[::-1], 4)), w, h,
         [[pal[i] for i in row] for row in idx])


def rgb24_case(name, w, h, header_size, top_down):
    pic = colour_picture(w, h)
    file_rows = pic if top_down else pic[::-1]
    pixels = b"".join(pad4(bytes(c for (r, g, b) in row for c in (b, g, r))) for row in file_rows)
    header = info_header(header_size, w, -h if top_down else h, 24, 0)
    save(name, bitmap(header, b"", pixels), w, h, pic)


def rgb32_case(name, w, h):
    pic = colour_picture(w, h)
    pixels = b"".join(bytes(c for (r, g, b) in row for c in (b, g, r, (r ^ g) & 0xFF))
                      for row in pic[::-1])
    save(name, bitmap(info_header(40, w, h, 32, 0), b"", pixels), w, h, pic)


def bitfields_case(name, w, h, bpp, masks, header_size, compression=3):
    """Pixels built from per-channel values; masks are (r, g, b[, a])."""
    shifts = [(m & -m).bit_length() - 1 for m in masks]
    widths = [bin(m).count("1") for m in masks]
    rows, expect = [], []
    for y in range(h):
        row, erow = b"", []
        for x in range(w):
            vals = [(x * 7 + y * 3 + c * 11) % (1 << widths[c]) for c in range(3)]
            p = sum(v << shifts[c] for c, v in enumerate(vals))
            if len(masks) > 3:
                p |= masks[3]
            row += p.to_bytes(bpp // 8, "little")
            erow.append(tuple(scale(vals[c], widths[c]) for c in range(3)))
        rows.append(pad4(row))
        expect.append(erow)
    extra = b""
    if header_size == 40 and compression == 3:
        extra = struct.pack("<III", *masks[:3])
    header = info_header(header_size, w, h, bpp, compression, masks=masks)
    save(name, bitmap(header, b"", b"".join(rows[::-1]), extra), w, h, expect)


def rgb16_case(name, w, h):
    bitfields_case(name, w, h, 16, (0x7C00, 0x03E0, 0x001F), 40, compression=0)


def rle_case(name, bpp):
    """A picture drawn with every RLE operation; skipped pixels show palette entry 0."""
    w, h = 14, 6
    pal = palette_of(16 if bpp == 4 else 40, 5 + bpp)
    idx = [[0] * w for _ in range(h)]  # file-order rows: row 0 is the bottom one
    ops = b""

    def run(line, x, count, colours):
        for i in range(count):
            if x + i < w:
                idx[line][x + i] = colours[i % len(colours)]

    if bpp == 8:
        ops += bytes((5, 3)); run(0, 0, 5, [3])
        ops += bytes((0, 3, 7, 8, 9, 0)); run(0, 5, 3, [7, 8, 9])  # odd literal, padded
        ops += bytes((20, 12)); run(0, 8, 20, [12])  # runs past the right edge: clipped
        ops += bytes((0, 0))
        ops += bytes((0, 4, 1, 2, 3, 4)); run(1, 0, 4, [1, 2, 3, 4])
        ops += bytes((0, 2, 3, 2))  # delta: 3 right, 2 up
        ops += bytes((4, 33)); run(3, 7, 4, [33])
        ops += bytes((0, 0, 0, 0))
        ops += bytes((14, 21)); run(5, 0, 14, [21])
        ops += bytes((0, 1))
    else:
        ops += bytes((5, 0x3A)); run(0, 0, 5, [3, 10])
        ops += bytes((0, 3, 0x78, 0x90)); run(0, 5, 3, [7, 8, 9])  # odd literal: 2 bytes
        ops += bytes((0, 5, 0x12, 0x34, 0x50, 0)); run(0, 8, 5, [1, 2, 3, 4, 5])  # 3 bytes, pad
        ops += bytes((9, 0xEF)); run(0, 13, 9, [14, 15])  # clipped at the edge
        ops += bytes((0, 0))
        ops += bytes((0, 2, 4, 1))  # delta: 4 right, 1 up
        ops += bytes((6, 0xC1)); run(2, 4, 6, [12, 1])
        ops += bytes((0, 0, 0, 0, 0, 0))
        ops += bytes((14, 0x66)); run(5, 0, 14, [6])
        ops += bytes((0, 1))
    header = info_header(40, w, h, bpp, 1 if bpp == 8 else 2, clr_used=len(pal),
                         image_size=len(ops))
    save(name, bitmap(header, rgbquad(pal), ops), w, h, [[pal[i] for i in row] for row in idx[::-1]])


def main():
    os.makedirs(OUT, exist_ok=True)
    palette_case("pal1", 13, 7, 1, 2)
    palette_case("pal4_short_table", 11, 6, 4, 12)
    palette_case("pal8_topdown", 9, 5, 8, 40, top_down=True)
    core_case("core4", 7, 5)
    rle_case("rle8", 8)
    rle_case("rle4", 4)
    rgb16_case("rgb16_555", 7, 4)
    bitfields_case("bitfields16_565", 9, 4, 16, (0xF800, 0x07E0, 0x001F), 40)
    bitfields_case("bitfields32_v5_10bit", 6, 5, 32, (0x3FF00000, 0x000FFC00, 0x000003FF,
                                                       0xC0000000), 124)
    rgb24_case("rgb24_v4", 10, 6, 108, top_down=False)
    rgb24_case("rgb24_topdown", 5, 3, 40, top_down=True)
    rgb32_case("rgb32", 6, 4)


if __name__ == "__main__":
    main()
