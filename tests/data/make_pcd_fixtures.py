#!/usr/bin/python3
"""Writes the Photo CD fixture of tests/data/read/pcd and its expected picture.

No tool at hand writes the colour encoding the reader expects, so the pack is assembled here: the
384 x 256 picture starts at byte 47104 as pairs of rows (384 luminance bytes per row, then 192 C1
and 192 C2 bytes shared by 2 x 2 pixels). The file ends after two row pairs, so the reader decodes
four rows and leaves the rest black. The expected picture applies the conversion
    L = 1.3584 Y, A = 2.2179 (C1 - 156), B = 1.8215 (C2 - 137),
    R = L + B, G = L - 0.194 A - 0.509 B, B = L + A, each rounded (floor of x + 0.5) and clamped.
Run from the repository root.
"""
import math
import os

from PIL import Image

OUT = "tests/data/read/pcd"
W, H = 384, 256
PAIRS = 2


def clamp(v):
    return max(0, min(255, int(math.floor(v + 0.5))))


def colour(y, c1, c2):
    l, a, b = 1.3584 * y, 2.2179 * (c1 - 156), 1.8215 * (c2 - 137)
    return clamp(l + b), clamp(l - 0.194 * a - 0.509 * b), clamp(l + a)


def main():
    os.makedirs(OUT, exist_ok=True)
    data = bytearray(47104)
    data[2048:2055] = b"PCD_IPI"  # the image pack's name, which the reader checks
    img = Image.new("RGB", (W, H), (0, 0, 0))
    for p in range(PAIRS):
        lum = [[(x + 97 * (2 * p + r)) % 256 for x in range(W)] for r in range(2)]
        c1 = [(x * 3 + 60 * p) % 256 for x in range(W // 2)]
        c2 = [(255 - x * 5 + 40 * p) % 256 for x in range(W // 2)]
        data += bytes(lum[0]) + bytes(lum[1]) + bytes(c1) + bytes(c2)
        for r in range(2):
            for x in range(W):
                img.putpixel((x, 2 * p + r), colour(lum[r][x], c1[x // 2], c2[x // 2]))
    open(os.path.join(OUT, "two_row_pairs.pcd"), "wb").write(data)
    img.save(os.path.join(OUT, "two_row_pairs.png"))


if __name__ == "__main__":
    main()
