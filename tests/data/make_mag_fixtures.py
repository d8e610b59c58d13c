#!/usr/bin/env python3
"""Writes the MAG fixtures of tests/data/read/mag: each <case>.mag beside <case>.png, the picture
the reader must produce from it (8-bit RGB PNG written here with zlib).

No tool on the system reads or writes MAG, so the files are built here from the format's
description, independently of Tilvo's writer: instead of searching for copies, the flags of every
unit are chosen first (cycling through all fifteen copy positions wherever the source lies inside
the picture, keeping the flag of the row above now and then so that flag A has both kinds of
bits) and the picture follows from them. The cases cover 16 and 256 colours, widths that are not
multiples of 32, a left edge off the alignment, an odd flag B with and without its padding byte,
the 200-line flag, Shift-JIS header text and flag A sizes that need rounding up.  Run from
anywhere; only the standard library is used.
"""

import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "read", "mag")

DY = [0, 0, 0, 0, 1, 1, 2, 2, 2, 4, 4, 4, 8, 8, 8, 16]
DX = [0, 1, 2, 4, 0, 1, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0]


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


class Lcg:
    def __init__(self, seed):
        self.state = seed

    def next(self, n):
        self.state = (self.state * 1103515245 + 12345) & 0x7FFFFFFF
        return (self.state >> 8) % n


def build(name, width, height, colors256, seed, x1=0, y1=0, x2_slack=0, line200=False,
          comment=b"fixture", user=b"TILVO", pad_flag_b=True, even_flag_a=True,
          keep_odds=3, min_odd_flag_b=False, palette_entries=None):
    a = 4 if colors256 else 8
    assert width % a == 0
    units = width // 2 if colors256 else width // 4
    flag_bytes = units // 2
    rng = Lcg(seed)
    npal = 256 if colors256 else 16
    if palette_entries is None:
        palette_entries = npal
    palette = [((i * 37 + 11) % 256, (i * 91 + 5) % 256, (i * 53 + 200) % 256) if i < palette_entries
               else (0, 0, 0) for i in range(npal)]

    # Flags first, then the picture they describe.
    flags = [[0] * units for _ in range(height)]
    pic = [[0] * (units * 2) for _ in range(height)]
    pixel_data = bytearray()
    counter = seed
    for y in range(height):
        for u in range(units):
            def valid(f):
                return f == 0 or (y >= DY[f] and u >= DX[f])

            above = flags[y - 1][u] if y > 0 else 0
            if above and valid(above) and rng.next(keep_odds) == 0:
                f = above
            else:
                counter += 1
                f = counter % 16
                if not valid(f):
                    f = 0
            flags[y][u] = f
            if f == 0:
                b0, b1 = rng.next(256), rng.next(256)
                pixel_data += bytes([b0, b1])
                pic[y][2 * u], pic[y][2 * u + 1] = b0, b1
            else:
                sy, su = y - DY[f], u - DX[f]
                pic[y][2 * u] = pic[sy][2 * su]
                pic[y][2 * u + 1] = pic[sy][2 * su + 1]

    flag_a_bits = flag_bytes * height
    flag_a = bytearray((flag_a_bits + 7) // 8)
    if even_flag_a and len(flag_a) % 2:
        flag_a.append(0)
    flag_b = bytearray()
    prev = [0] * flag_bytes
    bit = 0
    for y in range(height):
        for i in range(flag_bytes):
            new = flags[y][2 * i] << 4 | flags[y][2 * i + 1]
            if new != prev[i]:
                flag_a[bit >> 3] |= 0x80 >> (bit & 7)
                flag_b.append(prev[i] ^ new)
                prev[i] = new
            bit += 1
    if min_odd_flag_b and len(flag_b) % 2 == 0:  # try the next seed until flag B is odd
        return build(name, width, height, colors256, seed + 1, x1, y1, x2_slack, line200,
                     comment, user, pad_flag_b, even_flag_a, keep_odds, min_odd_flag_b,
                     palette_entries)
    if pad_flag_b and len(flag_b) % 2:
        flag_b.append(0)

    x1a = x1 - x1 % a
    x2 = x1a + width - 1 - x2_slack
    assert (x2 - x2 % a + a) - x1a == width
    y2 = y1 + height - 1
    flag_a_off = 32 + npal * 3
    flag_b_off = flag_a_off + len(flag_a)
    pixel_off = flag_b_off + len(flag_b)
    header = struct.pack("<BBBBHHHHIIIII", 0, 0, 0, (0x80 if colors256 else 0) | int(line200),
                         x1, y1, x2, y2, flag_a_off, flag_b_off, len(flag_b), pixel_off,
                         len(pixel_data))
    ident = b"MAKI02  " + b"TEST" + b" " + user.ljust(18, b" ")[:18] + b" "
    assert len(ident) == 32
    pal = b"".join(bytes([g, r, b]) for (r, g, b) in palette)
    data = ident + comment + b"\x1a" + header + pal + bytes(flag_a) + bytes(flag_b) + pixel_data
    with open(os.path.join(OUT, name + ".mag"), "wb") as f:
        f.write(data)

    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            if colors256:
                idx = pic[y][x]
            else:
                byte = pic[y][x // 2]
                idx = byte >> 4 if x % 2 == 0 else byte & 15
            row.append(palette[idx])
        rows.append(row)
    write_png(os.path.join(OUT, name + ".png"), width, height, rows)
    used = {f for row in flags for f in row}
    return used


def main():
    os.makedirs(OUT, exist_ok=True)
    used = set()
    # 256 colours, 36 pixels across, 18 rows: every copy position, 16 rows up included.
    used |= build("pal256_all_copies", 36, 18, True, seed=7)
    # 16 colours, 40 pixels across, 19 rows, a short palette (entries past 5 are black).
    used |= build("pal16_all_copies", 40, 19, False, seed=3, palette_entries=5)
    # 256 colours, left edge off the alignment, right edge short of it, 200-line flag, Shift-JIS
    # comment and user name, odd flag B without its padding byte, flag A not rounded to even.
    build("pal256_offset_origin", 20, 9, True, seed=11, x1=6, y1=3, x2_slack=2, line200=True,
          comment="テスト画像".encode("shift_jis"), user="作者".encode("shift_jis"),
          pad_flag_b=False, even_flag_a=False, keep_odds=2, min_odd_flag_b=True)
    # The same kind of file with the padding byte after an odd flag B.
    build("pal16_odd_flag_b_padded", 24, 7, False, seed=5, keep_odds=2, min_odd_flag_b=True)
    # 100 × 2 at 256 colours: 25 flag bytes a row, 50 bits of flag A, 7 bytes rounded up to 8.
    build("pal256_100x2", 100, 2, True, seed=13)
    assert used >= set(range(16)), sorted(set(range(16)) - used)


if __name__ == "__main__":
    main()
