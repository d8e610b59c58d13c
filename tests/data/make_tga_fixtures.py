#!/usr/bin/python3
"""Writes the Targa fixtures of tests/data/read/tga: each <case>.tga beside <case>.png, the
picture the reader must produce from it.

Ordinary files come from independent encoders (Pillow, ImageMagick, netpbm's ppmtotga) and their
expected pictures from Pillow's decoder. What no tool writes is encoded here by hand from a
picture defined below, and its expected picture is that picture: colour maps of 15 and 32 bits, a
first map index above 0, an identification field, a colour map in a true-colour file, 16-bit
pixels, run-length packets that run on into the next row (and a last one that runs past the
picture), right-to-left and top-down rows. Each hand-made file is also decoded by Pillow and by
netpbm's tgatoppm where they read it, and any disagreement is printed.

Five-bit channels use only levels that every decoder widens alike (bits repeated downwards, or
v * 255 / 31 truncated or rounded), so the expected pictures do not depend on the widening rule.

Run with the system Python (it needs python3-pil, netpbm and imagemagick); the tests only read the
checked-in files.
"""

import io
import os
import struct
import subprocess
import tempfile

from PIL import Image

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "read", "tga")
CONVERT = "/usr/bin/convert-im6.q16"
W, H = 13, 7
FIVE = [0, 1, 2, 5, 6, 9, 10, 11, 14, 15, 18, 19, 23, 27, 31]


def source_rgb():
    """The 13 x 7 picture: rows of (r, g, b), top row first."""
    return [[((x * 20 + y * 3) % 256, y * 40, 255 - x * 19) for x in range(W)] for y in range(H)]


def save_png(path, rows):
    img = Image.new("RGB", (len(rows[0]), len(rows)))
    img.putdata([px for row in rows for px in row])
    img.save(path)


def header(image_type, width, height, depth, descriptor=0, id_len=0, map_type=0, first=0,
           map_len=0, map_bits=0):
    return struct.pack("<BBBHHBHHHHBB", id_len, map_type, image_type, first, map_len, map_bits, 0,
                       0, width, height, depth, descriptor)


def rows_in_file_order(rows, top_down, right_to_left):
    ordered = rows if top_down else rows[::-1]
    return [row[::-1] if right_to_left else row for row in ordered]


def rle_packets(pixels, plan):
    """Encodes a flat list of pixel byte strings with the given packet plan: a list of
    ("run", n) / ("raw", n) that covers the pixels in order."""
    out, i = b"", 0
    for kind, n in plan:
        if kind == "run":
            out += bytes([0x80 | (n - 1)]) + pixels[min(i, len(pixels) - 1)]
        else:
            out += bytes([n - 1]) + b"".join(pixels[i:i + n])
        i += n
    return out


def plan_for(pixels, pattern):
    """Packets for `pixels` that follow `pattern` (cycled): runs are used only where the pixels
    really repeat, else the packet becomes a literal of the same length."""
    plan, i, k = [], 0, 0
    while i < len(pixels):
        n = min(pattern[k % len(pattern)], len(pixels) - i)
        k += 1
        if n > 1 and all(p == pixels[i] for p in pixels[i:i + n]):
            plan.append(("run", n))
        else:
            plan.append(("raw", n))
        i += n
    return plan


def five_bit_picture():
    """A picture whose channels are 5-bit levels (and with repeated pixels for run packets)."""
    rows = []
    for y in range(H):
        row = []
        for x in range(W):
            xx = x // 3 * 3 if y % 2 else x  # odd rows repeat pixels in threes
            row.append((FIVE[(xx + y) % len(FIVE)], FIVE[(2 * xx + 3 * y) % len(FIVE)],
                        FIVE[(5 * xx + y) % len(FIVE)]))
        rows.append(row)
    return rows


def widen5(v):
    return (v << 3) | (v >> 2)


def pack555(r, g, b):
    return struct.pack("<H", (r << 10) | (g << 5) | b)


def write_case(name, data, expected_rows):
    path = os.path.join(OUT, name + ".tga")
    with open(path, "wb") as f:
        f.write(data)
    save_png(os.path.join(OUT, name + ".png"), expected_rows)
    cross_check(path, expected_rows)


def cross_check(path, expected_rows):
    flat = [px for row in expected_rows for px in row]
    try:
        got = list(Image.open(path).convert("RGB").getdata())
        if got != flat:
            print(f"{os.path.basename(path)}: Pillow decodes it differently")
    except Exception as e:  # a decoder that cannot read it says so
        print(f"{os.path.basename(path)}: Pillow cannot read it ({e})")
    try:
        ppm = subprocess.run(["tgatoppm", path], capture_output=True, check=True).stdout
        img = Image.open(io.BytesIO(ppm))
        if img.mode != "RGB" or list(img.getdata()) != flat:
            # tgatoppm gives 5-bit files a maxval of 31: compare after scaling
            scaled = [tuple(round(c * 255 / 31) for c in px) for px in img.getdata()]
            if scaled != flat:
                print(f"{os.path.basename(path)}: tgatoppm decodes it differently")
    except subprocess.CalledProcessError as e:
        print(f"{os.path.basename(path)}: tgatoppm cannot read it ({e.stderr.decode().strip()})")


def hand_made():
    rgb = source_rgb()

    # 15-bit colour map placed from index 5 on, behind a 3-byte identification field.
    five = five_bit_picture()
    colours = sorted({px for row in five for px in row})
    first = 5
    index = {c: first + i for i, c in enumerate(colours)}
    cmap = b"".join(pack555(*c) for c in colours)
    pixels = b"".join(bytes([index[px] for px in row]) for row in rows_in_file_order(five, False, False))
    write_case("map15_first_index",
               header(1, W, H, 8, 0, 3, 1, first, len(colours), 15) + b"id!" + cmap + pixels,
               [[tuple(widen5(c) for c in px) for px in row] for row in five])

    # 32-bit colour map (B, G, R, A), run-length packets across rows, bottom-up.
    palette = sorted({px for row in rgb for px in row})[:200]
    cmap = b"".join(bytes([b, g, r, 0x80]) for (r, g, b) in palette)
    pal_rows = [[palette[(x + y * 5) % len(palette) if x % 4 else 0] for x in range(W)]
                for y in range(H)]
    flat = [bytes([palette.index(px)]) for row in rows_in_file_order(pal_rows, False, False)
            for px in row]
    write_case("map32_rle_across_rows",
               header(9, W, H, 8, 0, 0, 1, 0, len(palette), 32) + cmap +
               rle_packets(flat, plan_for(flat, [5, 11, 3, 17])), pal_rows)

    # 16-bit true colour, plain, bottom-up.
    flat = [pack555(*px) for row in rows_in_file_order(five, False, False) for px in row]
    wide = [[tuple(widen5(c) for c in px) for px in row] for row in five]
    write_case("true16", header(2, W, H, 16, 0) + b"".join(flat), wide)

    # 16-bit true colour, run-length encoded, right to left.
    flat = [pack555(*px) for row in rows_in_file_order(five, False, True) for px in row]
    write_case("true16_rle_right_to_left",
               header(10, W, H, 16, 0x10) + rle_packets(flat, plan_for(flat, [3, 3, 7, 1, 20])),
               wide)

    # 24-bit run-length, top-down, with runs and literals across rows; the last run packet is
    # longer than the pixels left and is cut at the end of the picture.
    runs = [[rgb[y][min(x // 4 * 4, W - 5)] for x in range(W)] for y in range(H)]
    flat = [bytes([b, g, r]) for row in rows_in_file_order(runs, True, False) for (r, g, b) in row]
    plan = plan_for(flat[:-3], [4, 6, 9, 4, 2, 15])
    plan.append(("run", 30))  # three pixels left; the packet says 30
    flat_run = flat[-3]
    assert flat[-3] == flat[-2] == flat[-1], "the last three pixels must repeat"
    data = rle_packets(flat[:-3], plan[:-1]) + bytes([0x80 | 29]) + flat_run
    write_case("rgb24_rle_across_rows_top_down", header(10, W, H, 24, 0x20) + data, runs)

    # 24-bit plain, top-down and right to left.
    flat = b"".join(bytes([b, g, r]) for row in rows_in_file_order(rgb, True, True)
                    for (r, g, b) in row)
    write_case("rgb24_right_to_left_top_down", header(2, W, H, 24, 0x30) + flat, rgb)

    # 24-bit plain with a colour map of seven entries that a true-colour reader must skip, behind
    # a 5-byte identification field.
    flat = b"".join(bytes([b, g, r]) for row in rows_in_file_order(rgb, False, False)
                    for (r, g, b) in row)
    write_case("rgb24_with_colour_map",
               header(2, W, H, 24, 0, 5, 1, 0, 7, 24) + b"hello" + bytes(range(21)) + flat, rgb)

    # 8-bit gray, run-length packets across rows, bottom-up and right to left.
    gray = [[(x // 2 * 30 + y * 11) % 256 for x in range(W)] for y in range(H)]
    flat = [bytes([v]) for row in rows_in_file_order(gray, False, True) for v in row]
    write_case("gray_rle_right_to_left",
               header(11, W, H, 8, 0x10) + rle_packets(flat, plan_for(flat, [2, 9, 2, 14, 5])),
               [[(v, v, v) for v in row] for row in gray])

    # 32-bit B, G, R, A, plain, top-down with 8 alpha bits.
    flat = b"".join(bytes([b, g, r, (x * 19) & 255]) for row in rows_in_file_order(rgb, True, False)
                    for x, (r, g, b) in enumerate(row))
    write_case("bgra32_top_down", header(2, W, H, 32, 0x28) + flat, rgb)


def by_tools():
    rgb = source_rgb()
    img = Image.new("RGB", (W, H))
    img.putdata([px for row in rgb for px in row])
    with tempfile.TemporaryDirectory() as tmp:
        src_png = os.path.join(tmp, "src.png")
        src_ppm = os.path.join(tmp, "src.ppm")
        img.save(src_png)
        img.save(src_ppm)
        rgba = img.copy()
        rgba.putalpha(Image.linear_gradient("L").resize((W, H)))
        cases = {
            "pillow_rgb": lambda p: img.save(p),
            "pillow_rgb_rle": lambda p: img.save(p, compression="tga_rle"),
            "pillow_rgba_rle": lambda p: rgba.save(p, compression="tga_rle"),
            "pillow_gray": lambda p: img.convert("L").save(p),
            "pillow_gray_rle": lambda p: img.convert("L").save(p, compression="tga_rle"),
            "pillow_palette_rle": lambda p: img.quantize(17).save(p, compression="tga_rle"),
            "imagemagick_rgb_rle": lambda p: subprocess.run(
                [CONVERT, src_png, "-compress", "RLE", p], check=True),
            "imagemagick_palette": lambda p: subprocess.run(
                [CONVERT, src_png, "-type", "Palette", "-compress", "None", p], check=True),
            "ppmtotga_cmap_rle": lambda p: open(p, "wb").write(subprocess.run(
                ["ppmtotga", "-cmap", src_ppm], capture_output=True, check=True).stdout),
            "ppmtotga_rgb": lambda p: open(p, "wb").write(subprocess.run(
                ["ppmtotga", "-rgb", "-norle", src_ppm], capture_output=True, check=True).stdout),
        }
        for name, make in cases.items():
            path = os.path.join(OUT, name + ".tga")
            make(path)
            # The expected picture is what Pillow's decoder makes of the file.
            Image.open(path).convert("RGB").save(os.path.join(OUT, name + ".png"))


def main():
    os.makedirs(OUT, exist_ok=True)
    hand_made()
    by_tools()


if __name__ == "__main__":
    main()
