#!/usr/bin/python3
"""Writes the Photoshop reader fixtures: tests/data/read/psd/<case>.psd beside <case>.png.

The files are written by ImageMagick's `convert` from a small test picture; the expected pictures
come from Pillow's own Photoshop decoder where it reads the file, else from ImageMagick reading
the merged picture back.  What the reader makes of them: an alpha channel of an RGB file is kept
but not shown (the 24-bit picture has the stored colours), a gray file's alpha is ignored, CMYK is
stored inverted and shown as R = C * K / 255 (rounded) with the stored values, 16-bit samples
give their high byte.

Needs ImageMagick and Pillow; run from anywhere.
"""

import os
import subprocess
import tempfile

from PIL import Image

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "read", "psd")
W, H = 23, 13


def source(tmp):
    rgba = Image.new("RGBA", (W, H))
    for y in range(H):
        for x in range(W):
            a = 255 if x < 8 else (x * y * 5) % 256
            rgba.putpixel((x, y), ((x * 11) % 256, (y * 19) % 256, ((x + y) * 7) % 256, a))
    rgba_path = os.path.join(tmp, "src_rgba.png")
    rgb_path = os.path.join(tmp, "src_rgb.png")
    rgba.save(rgba_path)
    rgba.convert("RGB").save(rgb_path)
    return rgb_path, rgba_path


def expected_from_pillow(psd, png):
    im = Image.open(psd)
    if im.mode == "CMYK":
        c, m, y, k = im.split()
        out = Image.new("RGB", im.size)
        for py in range(im.size[1]):
            for px in range(im.size[0]):
                kk = 255 - k.getpixel((px, py))
                out.putpixel((px, py), tuple(((255 - ch.getpixel((px, py))) * kk + 127) // 255
                                             for ch in (c, m, y)))
        out.save(png)
    else:
        # An alpha channel is not shown: the colours are taken as stored.
        rgb = im.convert("RGB") if im.mode != "RGBA" else Image.merge("RGB", im.split()[:3])
        rgb.save(png)


def expected_from_magick(psd, png):
    subprocess.run(["convert", psd + "[0]", "-alpha", "off", "-depth", "8", "png24:" + png],
                   check=True)


def main():
    os.makedirs(OUT, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        rgb, rgba = source(tmp)
        cases = [
            ("rgb_packbits", [rgb, "-compress", "RLE"], True),
            ("rgb_raw", [rgb, "-compress", "None"], True),
            ("rgba", [rgba], True),
            ("gray", [rgb, "-colorspace", "Gray"], True),
            ("gray_alpha", [rgba, "-colorspace", "Gray"], False),
            ("palette", [rgb, "-colors", "7", "-type", "Palette"], True),
            ("cmyk", [rgb, "-colorspace", "CMYK"], True),
            ("rgb16", [rgb, "-depth", "16"], False),
            ("layers", [rgb, "(", rgba, "-crop", "10x8+3+2", "+repage", "-page", "+5+3", ")",
                        "(", rgb, "-negate", "-page", "+0+0", ")"], True),
        ]
        for name, args, pillow in cases:
            psd = os.path.join(OUT, name + ".psd")
            png = os.path.join(OUT, name + ".png")
            subprocess.run(["convert"] + args + [psd], check=True)
            (expected_from_pillow if pillow else expected_from_magick)(psd, png)


if __name__ == "__main__":
    main()
