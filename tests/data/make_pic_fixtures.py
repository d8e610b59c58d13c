#!/usr/bin/env python3
"""Writes the PIC fixtures of tests/data/read/pic: each <case>.pic beside <case>.png, the picture
the reader must produce from it (8-bit RGB PNG written here with zlib; each 5-bit channel widened
as (v << 3) | (v >> 2)).

No tool on the system writes PIC, so the files are encoded here from the format's description:
runs of the current colour, new colours from the table of 128 recent colours or as literals, and
chains that carry a colour down to the places where later rows change to it (straight, one or two
columns aside).  Run from anywhere; only the standard library is used.
"""

import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "read", "pic")


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


class Bits:
    def __init__(self):
        self.out = bytearray()
        self.used = 8

    def put(self, value, n):
        for i in range(n - 1, -1, -1):
            if self.used == 8:
                self.out.append(0)
                self.used = 0
            if (value >> i) & 1:
                self.out[-1] |= 0x80 >> self.used
            self.used += 1

    def length(self, n):
        k = 0
        while n >= (1 << (k + 2)) - 1:
            k += 1
        self.put((1 << k) - 1, k)  # k ones
        self.put(0, 1)
        self.put(n - ((1 << (k + 1)) - 1), k + 1)


class Recent:
    """The 128 recent colours: a circular list; forwards from the newest is the oldest."""

    def __init__(self):
        self.colour = [0] * 128
        self.next = [(i + 1) % 128 for i in range(128)]
        self.prev = [(i - 1) % 128 for i in range(128)]
        self.newest = 0

    def find(self, c):
        return self.colour.index(c) if c in self.colour else -1

    def use(self, s):
        if s == self.newest:
            return
        self.next[self.prev[s]] = self.next[s]
        self.prev[self.next[s]] = self.prev[s]
        after = self.next[self.newest]
        self.next[self.newest] = s
        self.prev[s] = self.newest
        self.next[s] = after
        self.prev[after] = s
        self.newest = s

    def add(self, c):
        self.newest = self.next[self.newest]
        self.colour[self.newest] = c


# Chain steps: (column change, bit code, bit count).
STEPS = [(0, 0b10, 2), (-1, 0b01, 2), (1, 0b11, 2), (2, 0b0011, 4), (-2, 0b0010, 4)]


MAX_CHAIN = 6


def encode(pixels, width, height, depth, comment=b"Tilvo fixture"):
    """pixels: PIC colours (green 15-11, red 10-6, blue 5-1, bit 0 clear), row by row. Answers
    the file and the bit positions (in the data) where row 0 is complete and where the last row
    starts."""
    total = width * height
    first_row_done = last_row_start = None
    bits = Bits()
    recent = Recent()
    marks = [None] * total
    pos, current = -1, 0
    while True:
        run = 0
        p = pos + 1
        while p < total:
            expect = marks[p] if marks[p] is not None else current
            if pixels[p] != expect:
                break
            current = expect
            run += 1
            p += 1
        bits.length(run + 1)
        if pos + run >= total - width and last_row_start is None:
            last_row_start = len(bits.out) * 8 - (8 - bits.used) - 1
        pos += run
        if pos >= width - 1 and first_row_done is None:
            first_row_done = len(bits.out) * 8 - (8 - bits.used)
        if pos == total - 1:
            break
        pos += 1
        current = pixels[pos]
        slot = recent.find(current)
        if slot >= 0:
            bits.put(1, 1)
            bits.put(slot, 7)
            recent.use(slot)
        else:
            bits.put(0, 1)
            bits.put(current >> 1 if depth == 15 else current, depth)
            recent.add(current)
        if pos >= width - 1 and first_row_done is None:
            first_row_done = len(bits.out) * 8 - (8 - bits.used)
        if pos == total - width and last_row_start is None:
            last_row_start = len(bits.out) * 8 - (8 - bits.used) - 1
        if pos == total - 1:
            break
        # A chain down through the places where a later row changes to this colour.
        x, y = pos % width, pos // width
        steps = []
        while y + 1 < height and len(steps) < MAX_CHAIN:
            for dx, code, n in STEPS:
                q = (y + 1) * width + x + dx
                if (0 <= x + dx < width and marks[q] is None and pixels[q] == current and
                        pixels[q - 1] != current):
                    steps.append((code, n))
                    marks[q] = current
                    x, y = x + dx, y + 1
                    break
            else:
                break
        if steps:
            bits.put(1, 1)
            for code, n in steps:
                bits.put(code, n)
            bits.put(0, 3)
        else:
            bits.put(0, 1)
    header = (b"PIC" + comment + b"\x1a" + b"\x00" + bytes([0, 0]) +
              struct.pack(">HHH", depth, width, height))
    return header + bytes(bits.out), len(header), first_row_done, last_row_start


def colour(r, g, b):
    return g << 11 | r << 6 | b << 1


def widen(v):
    return (v << 3) | (v >> 2)


def write_case(name, width, height, pixels, depth, file_height=None):
    data, head, first_row_done, last_row_start = encode(pixels, width, height, depth)
    # A copy cut in half must hold the whole first row and nothing of the last one.
    assert head + (first_row_done + 7) // 8 <= len(data) // 2, name
    assert head + last_row_start // 8 >= len(data) // 2, name
    if file_height is not None:  # the header claims more rows than the reader takes
        data = data.replace(struct.pack(">HHH", depth, width, height),
                            struct.pack(">HHH", depth, width, file_height), 1)
    with open(os.path.join(OUT, name + ".pic"), "wb") as f:
        f.write(data)
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            c = pixels[y * width + x]
            row.append((widen((c >> 6) & 31), widen(c >> 11), widen((c >> 1) & 31)))
        rows.append(row)
    write_png(os.path.join(OUT, name + ".png"), width, height, rows)


def main():
    os.makedirs(OUT, exist_ok=True)
    # Diagonal and curved bands: runs with chains going straight, one and two columns aside.
    w, h = 48, 32
    px = []
    for y in range(h):
        for x in range(w):
            band = (x + y // 2) // 6 if x < 24 else (x - y + 40) // 5
            px.append(colour(band * 3 % 32, (band * 7 + 4) % 32, 31 - band % 32))
    write_case("bands16", w, h, px, 16)

    # Many colours at 15 bits: the recent-colour table keeps evicting, and reuses.
    w, h = 40, 24
    px = []
    for y in range(h):
        for x in range(w):
            k = (x // 2 * 13 + y * 7) % 200
            px.append(colour(k % 32, k // 8 % 32, (k * 5) % 32))
    write_case("colours15", w, h, px, 15)

    # The full width, and a header that claims 600 rows (only 512 are read).
    w, h = 512, 512
    px = []
    for y in range(h):
        for x in range(w):
            px.append(colour((x // 64) * 4, (y // 64) * 4, ((x + y) // 128) * 4))
    write_case("wide_tall", w, h, px, 16, file_height=600)


if __name__ == "__main__":
    main()
