#!/usr/bin/python3
"""Writes the TIFF fixtures of tests/data/read/tif: each <case>.tif beside <case>.png, the picture
the reader must produce (24-bit, alpha composited over white, turned upright).

The files are encoded by independent tools: libtiff's tiffcp, tiffset and ppm2tiff, ImageMagick
and netpbm; the old-style JPEG files are assembled here around a JPEG that ImageMagick encodes.
The expected pictures come from Pillow, from libtiff's tiff2rgba read back by Pillow where
Pillow itself cannot decode the file, and from ImageMagick's -auto-orient for the Orientation tags. Run from the repository root; the tools are needed only
here, never by the tests.
"""
import io
import os
import struct
import subprocess
import tempfile

from PIL import Image

OUT = "tests/data/read/tif"
TMP = tempfile.mkdtemp()


def run(*args):
    subprocess.run(args, check=True)


def tmp(name):
    return os.path.join(TMP, name)


def source(w=23, h=17, alpha=False):
    """A small picture with a distinct colour at every pixel, so flips and swaps show."""
    img = Image.new("RGBA" if alpha else "RGB", (w, h))
    for y in range(h):
        for x in range(w):
            px = ((x * 11) % 256, (y * 15) % 256, (x * 7 + y * 5) % 256)
            if alpha:
                px += ((0, 255, 255, 128)[(x + y) % 4],)
            img.putpixel((x, y), px)
    return img


def over_white(img):
    img = img.convert("RGBA")
    white = Image.new("RGBA", img.size, (255, 255, 255, 255))
    return Image.alpha_composite(white, img).convert("RGB")


def expected_from_rgba(tif, png):
    """libtiff's own RGBA reader as the independent decoder (tiff2rgba writes an RGBA TIFF)."""
    run("tiff2rgba", "-c", "none", tif, tmp("rgba.tif"))
    over_white(Image.open(tmp("rgba.tif"))).save(png)


def case(name, tif_from, expected="pillow"):
    tif = os.path.join(OUT, name + ".tif")
    png = os.path.join(OUT, name + ".png")
    os.replace(tif_from, tif)
    if expected == "pillow":
        over_white(Image.open(tif)).save(png)
    elif expected == "upright":
        # ImageMagick turns every Orientation upright (Pillow's TIFF path only flips some).
        run("convert", tif, "-auto-orient", "-depth", "8", "-type", "TrueColor", tmp("up.png"))
        over_white(Image.open(tmp("up.png"))).save(png)
    elif expected == "rgba":
        expected_from_rgba(tif, png)
    else:
        expected.save(png)


def main():
    os.makedirs(OUT, exist_ok=True)
    rgb = source()
    rgb.save(tmp("rgb.png"))
    rgb.save(tmp("rgb.ppm"))
    rgb.convert("L").save(tmp("gray.pgm"))
    source(alpha=True).save(tmp("rgba.png"))

    # 8-bit RGB, LZW with the horizontal predictor, big-endian, several strips.
    run("ppm2tiff", "-c", "none", tmp("rgb.ppm"), tmp("a.tif"))
    run("tiffcp", "-B", "-c", "lzw:2", "-r", "4", tmp("a.tif"), tmp("b.tif"))
    case("rgb8_lzw_mm", tmp("b.tif"))
    # Tiled, deflate, little-endian.
    run("tiffcp", "-L", "-c", "zip", "-t", "-w", "16", "-l", "16", tmp("a.tif"), tmp("b.tif"))
    case("rgb8_deflate_tiled", tmp("b.tif"))
    # JPEG inside TIFF (YCbCr, 2 x 2 subsampled): libtiff's RGBA reader is the reference.
    run("tiffcp", "-c", "jpeg:90", "-r", "16", tmp("a.tif"), tmp("b.tif"))
    case("ycbcr_jpeg", tmp("b.tif"), "rgba")
    # 16 bits per sample.
    run("convert", tmp("rgb.png"), "-depth", "16", "-compress", "none", tmp("b.tif"))
    case("rgb16", tmp("b.tif"), "rgba")
    # 8-bit RGB with an unassociated alpha channel.
    run("convert", tmp("rgba.png"), "-depth", "8", "-compress", "lzw", tmp("b.tif"))
    case("rgba8_lzw", tmp("b.tif"), "rgba")
    # 8-bit gray, PackBits.
    run("convert", tmp("gray.pgm"), "-compress", "rle", tmp("b.tif"))
    case("gray8_packbits", tmp("b.tif"))
    # 8-bit gray, min-is-white.
    run("ppm2tiff", "-c", "none", tmp("gray.pgm"), tmp("c.tif"))
    run("tiffcp", "-p", "contig", tmp("c.tif"), tmp("b.tif"))
    run("tiffset", "-s", "262", "0", tmp("b.tif"))
    case("gray8_miniswhite", tmp("b.tif"), "rgba")
    # 4-bit gray.
    run("convert", tmp("gray.pgm"), "-depth", "4", "-compress", "none", tmp("b.tif"))
    case("gray4", tmp("b.tif"), "rgba")
    # Palettes of 16 and 256 colours (4 and 8 bits), big-endian colour map.
    run("convert", tmp("rgb.png"), "-colors", "16", "-type", "Palette", "-depth", "4",
        "-compress", "none", tmp("c.tif"))
    run("tiffcp", "-B", tmp("c.tif"), tmp("b.tif"))
    case("pal4_mm", tmp("b.tif"), "rgba")
    run("convert", tmp("rgb.png"), "-colors", "200", "-type", "Palette", "-compress", "lzw",
        tmp("b.tif"))
    case("pal8", tmp("b.tif"), "rgba")
    # Bilevel, min-is-white (CCITT group 4) and min-is-black (uncompressed).
    run("convert", tmp("gray.pgm"), "-threshold", "50%", "-type", "Bilevel", "-compress",
        "group4", tmp("b.tif"))
    case("bilevel_g4", tmp("b.tif"), "rgba")
    run("convert", tmp("gray.pgm"), "-threshold", "40%", tmp("bw.pbm"))
    with open(tmp("b.tif"), "wb") as f:
        subprocess.run(["pnmtotiff", "-minisblack", "-none", tmp("bw.pbm")], stdout=f, check=True)
    case("bilevel_minisblack", tmp("b.tif"), "rgba")
    # Two pages: the first opens. The first page is the larger, so its directory lies past the
    # middle of the file.
    big = source(40, 30)
    big.save(tmp("big.ppm"))
    run("ppm2tiff", "-c", "none", tmp("big.ppm"), tmp("p1.tif"))
    run("ppm2tiff", "-c", "none", tmp("gray.pgm"), tmp("p2.tif"))
    run("tiffcp", "-c", "lzw", tmp("p1.tif"), tmp("p2.tif"), tmp("b.tif"))
    case("two_pages", tmp("b.tif"), big)
    # Orientation tags: stored sideways or upside down, shown upright.
    for o in (3, 6, 8):
        run("tiffcp", "-c", "lzw", tmp("a.tif"), tmp("b.tif"))
        run("tiffset", "-s", "274", str(o), tmp("b.tif"))
        case("orientation%d" % o, tmp("b.tif"), "upright")
    run("convert", tmp("gray.pgm"), "-depth", "4", "-compress", "none", tmp("b.tif"))
    run("tiffset", "-s", "274", "5", tmp("b.tif"))
    case("gray4_orientation5", tmp("b.tif"), "upright")

    # Old-style JPEG (compression 6): a JPEG stream the TIFF points at.
    run("convert", tmp("rgb.png"), "-quality", "92", tmp("j.jpg"))
    jpeg = open(tmp("j.jpg"), "rb").read()
    expected = Image.open(tmp("j.jpg")).convert("RGB")
    write_ojpeg(os.path.join(OUT, "ojpeg_interchange.tif"), jpeg, rgb.size, "jif")
    expected.save(os.path.join(OUT, "ojpeg_interchange.png"))
    write_ojpeg(os.path.join(OUT, "ojpeg_strips_mm.tif"), jpeg, rgb.size, "strips")
    expected.save(os.path.join(OUT, "ojpeg_strips_mm.png"))


def write_ojpeg(path, jpeg, size, how):
    """Header, JPEG data, then the directory (big-endian for the strip variant). The strip
    variant cuts the stream into three strips whose offsets and counts lie outside the entries."""
    be = how == "strips"
    e = ">" if be else "<"
    w, h = size
    data_off = 8
    parts = [len(jpeg) // 3, len(jpeg) // 3, len(jpeg) - 2 * (len(jpeg) // 3)]
    arrays_off = data_off + len(jpeg)
    arrays = b""
    entries = [(256, 3, 1, w), (257, 3, 1, h), (258, 3, 1, 8), (259, 3, 1, 6), (262, 3, 1, 6),
               (277, 3, 1, 3)]
    if how == "jif":
        entries += [(273, 4, 1, data_off), (278, 4, 1, h), (279, 4, 1, len(jpeg)),
                    (513, 4, 1, data_off), (514, 4, 1, len(jpeg))]
    else:
        offs = [data_off, data_off + parts[0], data_off + parts[0] + parts[1]]
        arrays = struct.pack(e + "3I", *offs) + struct.pack(e + "3I", *parts)
        entries += [(273, 4, 3, arrays_off), (278, 4, 1, (h + 2) // 3),
                    (279, 4, 3, arrays_off + 12)]
    entries.sort()
    ifd_off = arrays_off + len(arrays)
    out = (b"MM" if be else b"II") + struct.pack(e + "HI", 42, ifd_off) + jpeg + arrays
    out += struct.pack(e + "H", len(entries))
    for tag, typ, count, value in entries:
        if typ == 3 and count == 1:
            out += struct.pack(e + "HHIHH", tag, typ, count, value, 0)
        else:
            out += struct.pack(e + "HHII", tag, typ, count, value)
    out += struct.pack(e + "I", 0)
    open(path, "wb").write(out)


if __name__ == "__main__":
    main()
