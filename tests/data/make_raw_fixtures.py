#!/usr/bin/python3
"""Writes the raw pixel fixtures of tests/data/read/raw: headerless files recognised by their size
(64000 bytes: 320 x 200 gray; 3968 bytes: 32 x 31 B, G, R, A) and the two-digit layout ("32":
8 x 4 pixels of B, G, R, rows bottom to top). The expected pictures are decoded from the same
bytes by ImageMagick's headerless gray, bgra and bgr readers. Run from the repository root.
"""
import os
import subprocess

OUT = "tests/data/read/raw"


def convert(*args):
    subprocess.run(["convert", *args], check=True)


def main():
    os.makedirs(OUT, exist_ok=True)
    gray = bytes((x * 3 + y * 7) % 256 for y in range(200) for x in range(320))
    open(os.path.join(OUT, "gray320x200.raw"), "wb").write(gray)
    convert("-size", "320x200", "-depth", "8", "gray:" + os.path.join(OUT, "gray320x200.raw"),
            "-type", "TrueColor", os.path.join(OUT, "gray320x200.png"))

    bgra = bytes((x * 8 + c * 60 + y * 3) % 256 for y in range(31) for x in range(32)
                 for c in range(4))
    open(os.path.join(OUT, "bgra32x31.raw"), "wb").write(bgra)
    convert("-size", "32x31", "-depth", "8", "bgra:" + os.path.join(OUT, "bgra32x31.raw"),
            "-alpha", "off", os.path.join(OUT, "bgra32x31.png"))

    pixels = bytes((i * 37 + 11) % 256 for i in range(8 * 4 * 3))
    open(os.path.join(OUT, "pow2_8x4.raw"), "wb").write(b"32" + pixels)
    open("/tmp/pow2.bgr", "wb").write(pixels)
    convert("-size", "8x4", "-depth", "8", "bgr:/tmp/pow2.bgr", "-flip",
            os.path.join(OUT, "pow2_8x4.png"))


if __name__ == "__main__":
    main()
