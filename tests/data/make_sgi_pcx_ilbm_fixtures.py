#!/usr/bin/python3
"""Writes the SGI, PCX and IFF ILBM fixtures of tests/data/read/{sgi,pcx,ilbm}: each <case>.<ext>
beside <case>.png, the picture Tilvo must produce from it.

Files come from independent encoders (netpbm, ImageMagick, Pillow) where one writes the layout,
and from the small encoders below for layouts no tool here writes (every PCX depth, stored PCX,
runs across PCX rows, dimension-1 SGI, chunky "PBM " ILBM, masked ILBM).  Expected pictures come
from an independent decoder (sgitopnm, pcxtoppm, ilbmtoppm, Pillow) where one reads the file, else
from the picture the file was built from.  Needs netpbm, ImageMagick and Pillow; run with the
system Python from anywhere.  Only needed to remake the files, never by the tests.
"""

import io
import os
import struct
import subprocess
import tempfile

from PIL import Image

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "read")
TMP = tempfile.mkdtemp()


def run(cmd, data=None):
    return subprocess.run(cmd, input=data, stdout=subprocess.PIPE, check=True,
                          stderr=subprocess.DEVNULL).stdout


def out(fmt, name):
    d = os.path.join(ROOT, fmt)
    os.makedirs(d, exist_ok=True)
    return os.path.join(d, name)


def save_png_from_pnm(pnm_bytes, path):
    Image.open(io.BytesIO(pnm_bytes)).convert("RGB").save(path)


def photo(w, h):
    """A small picture with gradients (literal runs) and a flat band (repeat runs)."""
    im = Image.new("RGB", (w, h))
    px = im.load()
    for y in range(h):
        for x in range(w):
            if 4 <= y < 7:
                px[x, y] = (200, 30, 60)
            else:
                px[x, y] = ((x * 11) % 256, (y * 19) % 256, (x * y * 3 + 40) % 256)
    return im


def few_colours(w, h, n):
    """A picture of n colours in stripes and runs."""
    pal = [(0, 0, 0), (255, 255, 255), (255, 0, 0), (0, 160, 0), (0, 0, 255), (255, 255, 0),
           (0, 255, 255), (255, 0, 255), (128, 64, 0), (64, 64, 64), (192, 192, 192),
           (100, 149, 237), (255, 165, 0), (46, 139, 87), (75, 0, 130), (240, 128, 128)]
    im = Image.new("RGB", (w, h))
    px = im.load()
    for y in range(h):
        for x in range(w):
            px[x, y] = pal[((x // 3) + y) % n if y % 4 else (x * 7 + y) % n]
    return im, pal[:n]


def ppm_bytes(im):
    b = io.BytesIO()
    im.save(b, "PPM")
    return b.getvalue()


# ---- SGI ---------------------------------------------------------------------------------------

def sgi_fixtures():
    src = photo(23, 13)
    gray = src.convert("L")
    ppm = ppm_bytes(src)
    pgm = ppm_bytes(gray)
    cases = {
        "netpbm_rgb_rle": run(["pnmtosgi", "-rle"], ppm),
        "netpbm_rgb_verbatim": run(["pnmtosgi", "-verbatim"], ppm),
        "netpbm_gray_rle": run(["pnmtosgi", "-rle"], pgm),
    }
    p = os.path.join(TMP, "a.png")
    rgba = src.copy()
    rgba.putalpha(Image.linear_gradient("L").resize(src.size))
    rgba.save(p)
    cases["magick_rgba"] = run(["convert", p, "sgi:-"])
    b = io.BytesIO()
    gray.save(b, "SGI")
    cases["pillow_gray"] = b.getvalue()
    b = io.BytesIO()
    src.save(b, "SGI")
    cases["pillow_rgb"] = b.getvalue()
    for name, data in cases.items():
        with open(out("sgi", name + ".sgi"), "wb") as f:
            f.write(data)
        # Pillow decodes every one of them; alpha is dropped as the window drops it.
        Image.open(io.BytesIO(data)).convert("RGBA").convert("RGB").save(out("sgi", name + ".png"))
        if "rgba" not in name:
            save_png_from_pnm(run(["sgitopnm"], data), os.path.join(TMP, "check.png"))
            assert (Image.open(os.path.join(TMP, "check.png")).tobytes() ==
                    Image.open(out("sgi", name + ".png")).tobytes()), name

    # Dimension 1: one row of one channel, run-length encoded with a run that overshoots the width.
    w = 9
    row = bytes([0x83, 10, 20, 30, 0x06, 200, 0])  # 3 literals, then 6 × 200 cut to 6 of 9
    head = bytearray(512)
    struct.pack_into(">HBBHHHH", head, 0, 474, 1, 1, 1, w, 1, 1)
    struct.pack_into(">II", head, 12, 0, 255)
    data = bytes(head) + struct.pack(">II", 520, len(row)) + row
    with open(out("sgi", "dimension1_rle.sgi"), "wb") as f:
        f.write(data)
    Image.open(io.BytesIO(data)).convert("RGB").save(out("sgi", "dimension1_rle.png"))


# ---- PCX ---------------------------------------------------------------------------------------

def pcx_rle(row):
    o = bytearray()
    i = 0
    while i < len(row):
        b = row[i]
        n = 1
        while i + n < len(row) and n < 63 and row[i + n] == b:
            n += 1
        if n > 1 or b >= 0xC0:
            o += bytes([0xC0 | n, b])
        else:
            o.append(b)
        i += n
    return bytes(o)


def pcx_header(bits, planes, w, h, bpl, pal16=b"", encoding=1, version=5):
    hd = bytearray(128)
    struct.pack_into("<BBBBHHHHHH", hd, 0, 10, version, encoding, bits, 0, 0, w - 1, h - 1, 72,
                     72)
    hd[16:16 + len(pal16)] = pal16
    hd[65] = planes
    struct.pack_into("<HH", hd, 66, bpl, 1)
    return bytes(hd)


def bits_row(values, bit, bpl):
    """Plane `bit` of a row of indices, MSB first, padded to bpl bytes."""
    o = bytearray(bpl)
    for x, v in enumerate(values):
        if v >> bit & 1:
            o[x // 8] |= 0x80 >> (x % 8)
    return bytes(o)


def pcx_fixtures():
    src = photo(23, 13)
    ppm = ppm_bytes(src)
    im16, pal16 = few_colours(21, 11, 16)
    im2, _ = few_colours(21, 11, 2)
    cases = {
        "netpbm_rgb": run(["ppmtopcx"], ppm),
        "netpbm_planar16": run(["ppmtopcx"], ppm_bytes(im16)),
        "netpbm_packed16": run(["ppmtopcx", "-packed"], ppm_bytes(im16)),
        "netpbm_mono": run(["ppmtopcx", "-packed"], ppm_bytes(im2)),
        "netpbm_8bit": run(["ppmtopcx", "-8bit"], ppm_bytes(im16)),
    }
    for mode, name in (("1", "pillow_mono"), ("L", "pillow_gray"), ("P", "pillow_palette"),
                       ("RGB", "pillow_rgb")):
        b = io.BytesIO()
        (src.convert(mode) if mode != "P" else src.quantize(40)).save(b, "PCX")
        cases[name] = b.getvalue()
    p = os.path.join(TMP, "m.ppm")
    with open(p, "wb") as f:
        f.write(ppm)
    cases["magick_rgb"] = run(["convert", p, "pcx:-"])

    # Our own encoder for what no tool writes.
    w, h = 13, 6
    idx = [[(x + 2 * y) % 8 for x in range(w)] for y in range(h)]
    pal8 = [(0, 0, 0), (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0), (0, 255, 255),
            (255, 0, 255), (255, 255, 255)]
    pal48 = b"".join(bytes(c) for c in pal8) + bytes(48 - 24)
    for planes in (2, 3):
        bpl = 2
        body = b"".join(pcx_rle(b"".join(bits_row(r, k, bpl) for k in range(planes))) for r in idx)
        name = "planar_1bit_x%d" % planes
        cases[name] = pcx_header(1, planes, w, h, bpl, pal48) + body
        exp = Image.new("RGB", (w, h))
        exp.putdata([pal8[v & ((1 << planes) - 1)] for r in idx for v in r])
        exp.save(out("pcx", name + ".png"))
    # 8 bits in 4 planes (red, green, blue, alpha), and a stored 24-bit file.
    rgba = [[((x * 20) % 256, (y * 40) % 256, 128, 255 - x) for x in range(w)] for y in range(h)]
    bpl = w + 1
    rows = [b"".join(bytes([p[c] for p in r]) + b"\0" for c in range(4)) for r in rgba]
    cases["rgba_4planes"] = pcx_header(8, 4, w, h, bpl) + b"".join(pcx_rle(r) for r in rows)
    rows3 = [b"".join(bytes([p[c] for p in r]) + b"\0" for c in range(3)) for r in rgba]
    cases["rgb_stored"] = pcx_header(8, 3, w, h, bpl, encoding=0) + b"".join(rows3)
    exp = Image.new("RGB", (w, h))
    exp.putdata([p[:3] for r in rgba for p in r])
    exp.save(out("pcx", "rgba_4planes.png"))
    exp.save(out("pcx", "rgb_stored.png"))
    # One run-length stream over all rows: runs cross from one row into the next.
    gray = [[(x // 5) * 40 for x in range(w)] for y in range(h)]
    stream = b"".join(bytes(r) + b"\0" for r in gray)
    cases["runs_across_rows_gray"] = pcx_header(8, 1, w, h, bpl, version=3) + pcx_rle(stream)
    exp = Image.new("RGB", (w, h))
    exp.putdata([(v, v, v) for r in gray for v in r])  # no palette: a gray ramp
    exp.save(out("pcx", "runs_across_rows_gray.png"))

    for name, data in cases.items():
        with open(out("pcx", name + ".pcx"), "wb") as f:
            f.write(data)
        if os.path.exists(out("pcx", name + ".png")):
            continue
        if name.startswith("pillow"):
            Image.open(io.BytesIO(data)).convert("RGB").save(out("pcx", name + ".png"))
        else:
            save_png_from_pnm(run(["pcxtoppm"], data), out("pcx", name + ".png"))


# ---- IFF ILBM ----------------------------------------------------------------------------------

def byterun1(row):
    o = bytearray()
    i = 0
    while i < len(row):
        n = 1
        while i + n < len(row) and n < 128 and row[i + n] == row[i]:
            n += 1
        if n >= 2:
            o += bytes([257 - n, row[i]])
            i += n
            continue
        j = i
        while j < len(row) and j - i < 128 and not (j + 1 < len(row) and row[j] == row[j + 1]):
            j += 1
        o += bytes([j - i - 1]) + bytes(row[i:j])
        i = j
    return bytes(o)


def chunk(cid, data):
    return cid + struct.pack(">I", len(data)) + data + (b"\0" if len(data) & 1 else b"")


def iff(form, w, h, planes, body, cmap=None, masking=0, compression=1, extra=b""):
    bmhd = struct.pack(">HHhhBBBBHBBhh", w, h, 0, 0, planes, masking, compression, 0, 0, 10, 11,
                       w, h)
    data = form + chunk(b"BMHD", bmhd) + extra
    if cmap is not None:
        data += chunk(b"CMAP", cmap)
    data += chunk(b"BODY", body)
    return b"FORM" + struct.pack(">I", len(data)) + data


def ilbm_fixtures():
    src = photo(23, 13)
    im8, _ = few_colours(21, 11, 8)
    im16, _ = few_colours(21, 11, 16)
    im2, _ = few_colours(21, 11, 2)
    cases = {
        "netpbm_3planes": run(["ppmtoilbm"], ppm_bytes(im8)),
        "netpbm_4planes_stored": run(["ppmtoilbm", "-nocompress"], ppm_bytes(im16)),
        "netpbm_1plane": run(["ppmtoilbm"], ppm_bytes(im2)),
        "netpbm_8planes": run(["ppmtoilbm", "-fixplanes", "8"], ppm_bytes(src.quantize(200).convert("RGB"))),
        "netpbm_24planes": run(["ppmtoilbm", "-24force"], ppm_bytes(src)),
    }
    # A mask plane after the colour planes (netpbm writes it with -maskfile).
    pbm = os.path.join(TMP, "mask.pbm")
    with open(pbm, "wb") as f:
        f.write(b"P4\n21 11\n" + bytes([0x5A, 0xA5, 0xF0] * 11))
    cases["netpbm_masked"] = run(["ppmtoilbm", "-maskfile", pbm], ppm_bytes(im16))

    # Chunky "PBM " pictures of odd width: rows are the width rounded up to even.
    w, h = 11, 5
    vals = [[(x * 23 + y * 50) % 256 for x in range(w)] for y in range(h)]
    cmap = b"".join(bytes(((i * 7) % 256, (255 - i), (i * 3) % 256)) for i in range(256))
    rows = [bytes(r) + b"\0" for r in vals]
    cases["pbm_chunky"] = iff(b"PBM ", w, h, 8, b"".join(byterun1(r) for r in rows), cmap)
    cases["pbm_chunky_stored"] = iff(b"PBM ", w, h, 8, b"".join(rows), cmap, compression=0)
    for name in ("pbm_chunky", "pbm_chunky_stored"):
        exp = Image.new("RGB", (w, h))
        exp.putdata([tuple(cmap[3 * v:3 * v + 3]) for r in vals for v in r])
        exp.save(out("ilbm", name + ".png"))
    # 6 planes without a CMAP: a 64-level gray ramp.  An odd-sized unknown chunk before BODY
    # checks the pad byte.
    planes = 6
    bpl = (w + 15) // 16 * 2
    idx = [[(x * 6 + y * 9) % 64 for x in range(w)] for y in range(h)]
    body = b"".join(byterun1(bits_row(r, k, bpl)) for r in idx for k in range(planes))
    cases["gray6_nocmap"] = iff(b"ILBM", w, h, planes, body, extra=chunk(b"ANNO", b"odd"))
    exp = Image.new("RGB", (w, h))
    exp.putdata([(v * 255 // 63,) * 3 for r in idx for v in r])
    exp.save(out("ilbm", "gray6_nocmap.png"))

    for name, data in cases.items():
        with open(out("ilbm", name + ".lbm" if name.startswith("pbm") else name + ".iff"),
                  "wb") as f:
            f.write(data)
        if not os.path.exists(out("ilbm", name + ".png")):
            save_png_from_pnm(run(["ilbmtoppm"], data), out("ilbm", name + ".png"))


sgi_fixtures()
pcx_fixtures()
ilbm_fixtures()
