#!/usr/bin/python3
"""Makes docs/window-fit-zoom.png: the real tilvo window on a virtual X server, a large synthetic
portrait opened at fit zoom (centred in the view), the face hidden by an ellipse dragged with
Ctrl+Shift, and a brush stroke over the name badge caught while it is still being dragged: the
mosaic it will leave already shows under the brush's outline. The status bar shows the zoom, the
picture's size and the cell and brush sizes.

    tools/make_screenshot.py --tilvo build/app/tilvo --out docs/window-fit-zoom.png

Needs Xvfb, xdotool, ImageMagick's import and Pillow (none of them at build or test time).
"""

import argparse
import os
import shutil
import subprocess
import tempfile
import time

from PIL import Image, ImageDraw

PICTURE = (1800, 1200)
WINDOW = (1000, 700)


def make_portrait(path):
    """A face-like picture: a head with eyes, brows, nose and mouth, shoulders and a name badge."""
    img = Image.new("RGB", PICTURE, (180, 205, 230))
    d = ImageDraw.Draw(img)
    d.rectangle([0, 820, PICTURE[0], PICTURE[1]], fill=(120, 150, 110))
    d.rectangle([140, 180, 520, 700], fill=(230, 225, 210), outline=(90, 80, 70), width=8)
    d.rectangle([1300, 240, 1660, 620], fill=(210, 190, 160), outline=(90, 80, 70), width=8)
    # Shoulders and neck.
    d.ellipse([560, 820, 1240, 1500], fill=(60, 80, 130))
    d.rectangle([830, 690, 970, 860], fill=(225, 180, 150))
    # Head, hair, ears.
    d.ellipse([690, 180, 1110, 740], fill=(235, 190, 160))
    d.chord([670, 140, 1130, 520], 180, 360, fill=(70, 45, 30))
    d.ellipse([660, 420, 720, 520], fill=(225, 180, 150))
    d.ellipse([1080, 420, 1140, 520], fill=(225, 180, 150))
    # Eyes, brows, nose, mouth.
    for x in (800, 1000):
        d.ellipse([x - 45, 410, x + 45, 460], fill=(250, 250, 250))
        d.ellipse([x - 18, 417, x + 18, 453], fill=(60, 90, 60))
        d.line([x - 50, 385, x + 50, 380], fill=(60, 40, 25), width=10)
    d.polygon([(900, 450), (870, 570), (930, 570)], fill=(215, 165, 135))
    d.chord([820, 590, 980, 670], 0, 180, fill=(170, 60, 70))
    # The name badge.
    d.rectangle([980, 960, 1200, 1030], fill=(250, 250, 245))
    d.text((1000, 985), "A. SAMPLE", fill=(0, 0, 0))
    img.save(path)


def picture_span(env, window, work, row=None, column=None):
    """The first and last pixel of a window row (or column) that differ from the view's
    background, which is sampled 12 pixels in (below the menu bar for a column)."""
    shot = os.path.join(work, "span.png")
    subprocess.run(["import", "-window", window, shot], env=env, check=True)
    img = Image.open(shot).convert("RGB")
    if row is not None:
        line = [img.getpixel((x, row)) for x in range(img.width)]
        start = 12
    else:
        line = [img.getpixel((column, y)) for y in range(img.height)]
        start = 60
    background = line[start]
    inside = [i for i in range(start, len(line) - 12) if line[i] != background]
    # The run that starts first: the picture (the view's far edge and the status bar come later
    # only along a column, after a stretch of background again).
    first = inside[0]
    last = first
    while last + 1 < len(line) and line[last + 1] != background:
        last += 1
    return first, last


def background_span(env, window, work, column, row):
    """The run of the view's background colour in a column that holds (column, row)."""
    shot = os.path.join(work, "span.png")
    subprocess.run(["import", "-window", window, shot], env=env, check=True)
    img = Image.open(shot).convert("RGB")
    background = img.getpixel((column, row))
    first = last = row
    while first > 0 and img.getpixel((column, first - 1)) == background:
        first -= 1
    while last + 1 < img.height and img.getpixel((column, last + 1)) == background:
        last += 1
    return first, last


def run(tilvo, out):
    work = tempfile.mkdtemp(prefix="tilvo-shot-")
    try:
        exe = os.path.join(work, "tilvo")
        shutil.copy2(tilvo, exe)
        with open(os.path.join(work, "tilvo.ini"), "w") as ini:
            ini.write("[General]\nTop=0\nLeft=0\nWidth=%d\nHeight=%d\n" % WINDOW +
                      "[Mosaic]\nMosaicSize=48\n[FilterBrush]\nBrushSize=120\nSoftenEdge=1\n")
        picture = os.path.join(work, "portrait.png")
        make_portrait(picture)
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                 "1280x800x24", "-nolisten", "tcp"], pass_fds=(write_end,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        display = ":" + number.decode().strip()
        os.close(read_end)
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", LANG="C.UTF-8",
                   HOME=work, XDG_RUNTIME_DIR=work)
        env.pop("WAYLAND_DISPLAY", None)
        program = None
        try:
            program = subprocess.Popen([exe, picture], env=env, cwd=work, stdout=subprocess.DEVNULL,
                                       stderr=open(os.path.join(work, "tilvo.log"), "w"))
            time.sleep(0.5)
            if program.poll() is not None:
                raise RuntimeError(open(os.path.join(work, "tilvo.log")).read())
            xdo = lambda *a: subprocess.run(["xdotool", *map(str, a)], env=env, check=True,
                                            capture_output=True, text=True).stdout.strip()
            window = xdo("search", "--sync", "--onlyvisible", "--name", "portrait").split()[0]
            time.sleep(1.0)
            # Where the picture lies: it is centred in the view at fit zoom. Its sky is the first
            # colour after the view's background along a row and a column through the middle.
            left, right = picture_span(env, window, work, row=WINDOW[1] // 2)
            zoom = (right - left + 1) / PICTURE[0]
            # The view's height, from the background stripe beside the picture.
            view_top, view_bottom = background_span(env, window, work, column=max(left - 4, 2),
                                                    row=WINDOW[1] // 2)
            top = view_top + (view_bottom - view_top + 1 - round(PICTURE[1] * zoom)) // 2
            to_screen = lambda x, y: (left + int(x * zoom), top + int(y * zoom))
            # The face: the ellipse inscribed in a rectangle dragged with Ctrl+Shift.
            x0, y0 = to_screen(680, 150)
            x1, y1 = to_screen(1150, 750)
            xdo("mousemove", "--window", window, x0, y0)
            xdo("keydown", "ctrl")
            xdo("keydown", "shift")
            xdo("mousedown", "1")
            for i in range(1, 11):
                xdo("mousemove", "--window", window, x0 + (x1 - x0) * i // 10,
                    y0 + (y1 - y0) * i // 10)
                time.sleep(0.03)
            xdo("mouseup", "1")
            xdo("keyup", "shift")
            xdo("keyup", "ctrl")
            # The name badge: a brush stroke, photographed while the button is still down.
            bx0, by = to_screen(1010, 995)
            bx1, _ = to_screen(1140, 995)
            xdo("mousemove", "--window", window, bx0, by)
            xdo("mousedown", "1")
            for i in range(1, 9):
                xdo("mousemove", "--window", window, bx0 + (bx1 - bx0) * i // 8, by)
                time.sleep(0.03)
            time.sleep(0.8)
            subprocess.run(["import", "-window", window, out], env=env, check=True)
            xdo("mouseup", "1")
        finally:
            if program is not None:
                program.terminate()
                program.wait(10)
            xvfb.terminate()
            xvfb.wait(10)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tilvo", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    run(os.path.abspath(args.tilvo), os.path.abspath(args.out))


if __name__ == "__main__":
    main()
