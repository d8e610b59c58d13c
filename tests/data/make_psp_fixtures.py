#!/usr/bin/python3
"""Writes the Paint Shop Pro reader fixtures: tests/data/read/psp/<case>.psp beside <case>.png.

No common tool writes Paint Shop Pro files, so they are assembled here block by block, for format
versions 5 (blocks with 10-byte headers, chunks that start with their size) and 3 (14-byte block
headers with an initial and a total length, chunks without sizes, 256-byte layer names).  The
expected picture is computed here from the same pixels: the canvas is black, the layer is placed
at its offsets and clipped to the canvas, an alpha channel blends as
(a * layer + (255 - a) * canvas + 127) / 255.  A file with two layers opens from its JPEG
composite (the second composite; the first is a thumbnail); its expected picture is Pillow's
decode of that JPEG.

Needs Pillow (for the PNG files and the JPEG composite); run from anywhere.
"""

import io
import os
import struct
import zlib

from PIL import Image

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "read", "psp")
SIGNATURE = b"Paint Shop Pro Image File\n\x1a" + b"\0" * 5


def block(version, block_id, body):
    if version == 3:
        return b"~BK\0" + struct.pack("<HII", block_id, len(body), len(body)) + body
    return b"~BK\0" + struct.pack("<HI", block_id, len(body)) + body


def chunk(version, body):
    return body if version == 3 else struct.pack("<I", len(body) + 4) + body


def attributes(version, w, h, compression, bits, gray):
    body = struct.pack("<iidBHHHIB", w, h, 72.0, 1, compression, bits, 1,
                       (1 << bits) if bits <= 8 else 0, 1 if gray else 0)
    body += b"\0" * 14  # image size, active layer, layer count, contents
    return block(version, 0, chunk(version, body))


def rle(data):
    out = bytearray()
    i = 0
    while i < len(data):
        run = 1
        while i + run < len(data) and run < 127 and data[i + run] == data[i]:
            run += 1
        if run >= 3:
            out += bytes([128 + run, data[i]])
            i += run
            continue
        j = i
        while j < len(data) and j - i < 127 and not (
                j + 2 < len(data) and data[j] == data[j + 1] == data[j + 2]):
            j += 1
        out += bytes([j - i]) + data[i:j]
        i = j
    out += bytes([128])  # a no-op control byte the reader must skip
    return bytes(out)


def compress(method, data):
    return data if method == 0 else rle(data) if method == 1 else zlib.compress(data)


def layer_bank(version, name, rect, saved, channels, method, blocks_only=False):
    """channels: uncompressed planes in order."""
    if version == 3:
        info = name.encode().ljust(256, b"\0")
    else:
        info = struct.pack("<H", len(name)) + name.encode()
    info += bytes([1]) + struct.pack("<4i", *rect) + struct.pack("<4i", *saved)
    info += bytes([255, 0, 1, 0, 0]) + struct.pack("<8i", 0, 0, 0, 0, 0, 0, 0, 0)
    info += bytes([0, 0, 0]) + struct.pack("<H", 5) + b"\0" * 40
    if version == 3:
        body = info + struct.pack("<HH", 1, len(channels))
    else:
        body = chunk(version, info) + chunk(version, struct.pack("<HH", 1, len(channels)))
    for i, plane in enumerate(channels):
        packed = compress(method, plane)
        ch_info = struct.pack("<IIHH", len(packed), len(plane), 0, [1, 2, 3, 0][i]
                              if len(channels) > 1 else 0)
        body += block(version, 5, chunk(version, ch_info) + packed)
    layer = block(version, 4, body)
    return layer if blocks_only else block(version, 3, layer)


def palette_block(version, colours):
    body = chunk(version, struct.pack("<I", len(colours)))
    for r, g, b in colours:
        body += bytes([b, g, r, 0])
    return block(version, 2, body)


def composite_bank(version, jpegs):
    body = chunk(version, struct.pack("<I", len(jpegs)))
    for data, (w, h) in jpegs:
        attrs = chunk(version, struct.pack("<iiHHHIH", w, h, 24, 0, 1, 0, 0))
        body += block(version, 17, attrs)
        body += block(version, 18, chunk(version, struct.pack("<IIH", len(data), w * h * 3, 0)) + data)
    return block(version, 16, body)


def psp_file(version, blocks):
    return SIGNATURE + struct.pack("<HH", version, 0) + b"".join(blocks)


def rgb_planes(w, h, seed):
    r = bytes(((x * 13 + seed) % 256) for y in range(h) for x in range(w))
    g = bytes(((y * 29 + seed * 3) % 256) for y in range(h) for x in range(w))
    # Flat stretches give the run-length coder runs to find.
    b = bytes((((x // 4) * 60 + y) % 256) for y in range(h) for x in range(w))
    return r, g, b


def place_rgb(canvas, left, top, w, h, planes, alpha=None):
    r, g, b = planes
    cw, ch = canvas.size
    for y in range(h):
        for x in range(w):
            cx, cy = left + x, top + y
            if 0 <= cx < cw and 0 <= cy < ch:
                i = y * w + x
                px = (r[i], g[i], b[i])
                if alpha is not None:
                    a = alpha[i]
                    old = canvas.getpixel((cx, cy))
                    px = tuple((a * p + (255 - a) * o + 127) // 255 for p, o in zip(px, old))
                canvas.putpixel((cx, cy), px)


def write(name, data, expected):
    with open(os.path.join(OUT, name + ".psp"), "wb") as f:
        f.write(data)
    expected.save(os.path.join(OUT, name + ".png"))


def rgb_case(name, version, method, cw, ch, rect, saved, alpha=False):
    w, h = saved[2] - saved[0], saved[3] - saved[1]
    planes = rgb_planes(w, h, len(name))
    channels = list(planes)
    alpha_plane = None
    if alpha:
        alpha_plane = bytes([0, 255, 128, 64][(x + y) % 4] for y in range(h) for x in range(w))
        channels.append(alpha_plane)
    data = psp_file(version, [attributes(version, cw, ch, method, 24, False),
                              layer_bank(version, "Background", rect, saved, channels, method)])
    canvas = Image.new("RGB", (cw, ch))
    place_rgb(canvas, rect[0] + saved[0], rect[1] + saved[1], w, h, planes, alpha_plane)
    write(name, data, canvas)


def palette_case(name, version, method, bits, cw, ch, left, top, w, h, colours, gray=False):
    row_len = ((w * bits + 31) // 32) * 4
    indices = [[(x * 3 + y * 5) % len(colours) for x in range(w)] for y in range(h)]
    plane = bytearray()
    for row in indices:
        packed = bytearray(row_len)
        for x, v in enumerate(row):
            packed[x * bits // 8] |= v << (8 - bits - (x * bits) % 8)
        plane += packed
    blocks = [attributes(version, cw, ch, method, bits, gray)]
    if not gray:
        blocks.append(palette_block(version, colours))
    rect = (left, top, left + w, top + h)
    blocks.append(layer_bank(version, "Background", rect, (0, 0, w, h), [bytes(plane)], method))
    full = colours + [(0, 0, 0)] * ((1 << bits) - len(colours))
    canvas = Image.new("RGB", (cw, ch), full[0])
    for y in range(h):
        for x in range(w):
            if 0 <= left + x < cw and 0 <= top + y < ch:
                canvas.putpixel((left + x, top + y), full[indices[y][x]])
    write(name, psp_file(version, blocks), canvas)


def jpeg_bytes(im, quality):
    out = io.BytesIO()
    im.save(out, "JPEG", quality=quality)
    return out.getvalue()


def two_layer_case(name):
    cw, ch = 24, 16
    full = Image.new("RGB", (cw, ch))
    for y in range(ch):
        for x in range(cw):
            full.putpixel((x, y), ((x // 8) * 120, (y // 8) * 200, 90))
    thumb = full.resize((6, 4))
    full_jpeg = jpeg_bytes(full, 95)
    planes = rgb_planes(cw, ch, 1)
    layer1 = layer_bank(5, "One", (0, 0, cw, ch), (0, 0, cw, ch), list(planes), 0, True)
    layer2 = layer_bank(5, "Two", (0, 0, cw, ch), (0, 0, cw, ch), list(planes), 0, True)
    data = psp_file(5, [attributes(5, cw, ch, 0, 24, False),
                        composite_bank(5, [(jpeg_bytes(thumb, 80), thumb.size),
                                           (full_jpeg, full.size)]),
                        block(5, 3, layer1 + layer2)])
    write(name, data, Image.open(io.BytesIO(full_jpeg)).convert("RGB"))


def main():
    os.makedirs(OUT, exist_ok=True)
    for method, label in ((0, "raw"), (1, "rle"), (2, "deflate")):
        rgb_case("v5_rgb_" + label, 5, method, 13, 9, (0, 0, 13, 9), (0, 0, 13, 9))
    rgb_case("v3_rgb_deflate", 3, 2, 11, 7, (0, 0, 11, 7), (0, 0, 11, 7))
    rgb_case("v5_alpha", 5, 1, 10, 6, (0, 0, 10, 6), (0, 0, 10, 6), alpha=True)
    # Partly off the canvas on every side: only the overlap is drawn.
    rgb_case("v5_off_canvas", 5, 2, 12, 8, (-3, 5, 15, 9), (0, 0, 18, 4))
    rgb_case("v5_layer_inside", 5, 0, 12, 8, (3, 2, 9, 6), (1, 0, 6, 4))
    colours = [(255, 0, 0), (0, 128, 0), (10, 20, 250), (200, 200, 0), (3, 4, 5)]
    palette_case("v5_palette8_rle", 5, 1, 8, 9, 6, 0, 0, 9, 6, colours)
    palette_case("v5_palette4_offset", 5, 2, 4, 11, 7, 3, 1, 7, 5, colours)
    palette_case("v3_palette1_rle", 3, 1, 1, 19, 5, 0, 0, 19, 5, [(0, 0, 0), (255, 255, 255)])
    palette_case("v5_gray8", 5, 2, 8, 8, 5, 0, 0, 8, 5,
                 [(v, v, v) for v in range(256)], gray=True)
    two_layer_case("v5_two_layers_jpeg")


if __name__ == "__main__":
    main()
