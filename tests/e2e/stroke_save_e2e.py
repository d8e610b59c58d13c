#!/usr/bin/env python3
"""Drives the real tilvo program on a virtual X server, as a user would.

It opens the sample picture, drags a brush stroke with the mouse and saves through the Save As
dialog (typing the type and the name), undoes the stroke with Ctrl+Z and saves again, redoes it
through the Edit menu by keyboard and saves a third time. The file saved after the undo must equal
the picture, the last one may differ from it only in a band the size of the stroke, and must equal
the file saved right after the stroke. Then it zooms in a step with Ctrl+plus and drags a rectangle
with Ctrl held: the file saved after it differs from the one before only inside a rectangle of the
dragged size in picture pixels (the dragged screen size divided by the zoom of 3/2). Right after
typing a name in the real Save As dialog, and again after typing the picture's name in the real
Open dialog, a stroke is dragged without touching anything else first: it must land (no
completion list or other leftover of the dialog may take it).

The picture sits in the middle of the window when it is smaller than the view: where it lies on
the screen is read from a screenshot (ImageMagick's import; the test is skipped without it).

Exit codes: 0 passed, 1 failed, 77 skipped (no Xvfb on this machine).
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

STEP_TIMEOUT = 20  # seconds for any one window or file to appear


def log(message):
    print(message, flush=True)


class Failure(Exception):
    pass


def start_xvfb(workdir):
    """Starts Xvfb on a free display number, which it reports through -displayfd."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL,
        stderr=open(os.path.join(workdir, "xvfb.log"), "w"))
    os.close(write_end)
    number = b""
    deadline = time.time() + STEP_TIMEOUT
    while time.time() < deadline and not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip():
        xvfb.kill()
        raise Failure("Xvfb did not start")
    return xvfb, ":" + number.decode().strip()


class Session:
    def __init__(self, display, env, workdir):
        self.display = display
        self.env = env
        self.workdir = workdir

    def xdotool(self, *args, timeout=STEP_TIMEOUT):
        result = subprocess.run(["xdotool", *map(str, args)], env=self.env, timeout=timeout,
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise Failure("xdotool %s failed: %s" % (" ".join(map(str, args)), result.stderr.strip()))
        return result.stdout.strip()

    def wait_window(self, name):
        """The id of the first window whose title matches `name` (a regular expression)."""
        try:
            out = self.xdotool("search", "--sync", "--onlyvisible", "--name", name)
        except subprocess.TimeoutExpired:
            raise Failure("no window named %r appeared" % name)
        return out.splitlines()[0]

    def wait_gone(self, window, name):
        deadline = time.time() + STEP_TIMEOUT
        while time.time() < deadline:
            visible = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name],
                                     env=self.env, capture_output=True, text=True)
            if window not in visible.stdout.split():
                return
            time.sleep(0.1)
        raise Failure("window %s did not close" % window)

    def keys(self, *keys):
        self.xdotool("key", "--delay", "60", *keys)
        time.sleep(0.3)

    def type(self, text):
        self.xdotool("type", "--delay", "20", text)
        time.sleep(0.3)

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window)
        time.sleep(0.2)


def row_colours(s, window, y=None, x=None):
    """The colours (hex strings) of one row (y) or one column (x) of a screenshot of the window."""
    shot = os.path.join(s.workdir, "shot.png")
    subprocess.run(["import", "-window", window, shot], env=s.env, check=True,
                   timeout=STEP_TIMEOUT, capture_output=True)
    crop = "x1+0+%d" % y if y is not None else "1x+%d+0" % x
    out = subprocess.run(["convert", shot, "-crop", crop, "+repage", "txt:-"], check=True,
                         timeout=STEP_TIMEOUT, capture_output=True, text=True).stdout
    colours = []
    for line in out.splitlines()[1:]:
        colours.append(line.split("#", 1)[1].split()[0] if "#" in line else "")
    return colours


def picture_left(s, window, y):
    """The first window column at row y that is not the view's background (sampled at x = 12)."""
    row = row_colours(s, window, y=y)
    background = row[12]
    for x in range(12, len(row)):
        if row[x] != background:
            return x
    raise Failure("no picture found on row %d" % y)


def picture_top(s, window, x):
    column = row_colours(s, window, x=x)
    # Below the menu bar: the view's background, then the picture.
    start = 60
    background = column[start]
    for y in range(start, len(column)):
        if column[y] != background:
            return y
    raise Failure("no picture found in column %d" % x)


def stroke(s, window, x0, x1, y):
    """A horizontal brush stroke in small steps, as a hand moves."""
    s.xdotool("mousemove", "--window", window, x0, y)
    time.sleep(0.2)
    s.xdotool("mousedown", "1")
    for x in range(x0 + 10, x1 + 1, 10):
        s.xdotool("mousemove", "--window", window, x, y)
        time.sleep(0.03)
    s.xdotool("mouseup", "1")
    time.sleep(0.5)


def wait_file(path):
    deadline = time.time() + STEP_TIMEOUT
    last = -1
    while time.time() < deadline:
        if os.path.exists(path):
            size = os.path.getsize(path)
            if size > 0 and size == last:
                return
            last = size
        time.sleep(0.2)
    raise Failure("%s was not written" % path)


def save_as_bitmap(s, main_window, path):
    """File > Save as..., choose "Bitmap" in the type list, type the name, Enter."""
    s.focus(main_window)
    s.keys("alt+f")
    s.keys("a")
    dialog = s.wait_window("^Save As$")
    s.focus(dialog)
    # The name field has the focus; the type list is the next control.
    s.keys("Tab")
    s.type("B")
    s.keys("shift+Tab")
    s.keys("ctrl+a")
    s.type(path)
    s.keys("Return")
    wait_file(path)
    s.wait_gone(dialog, "^Save As$")


def compare(compare_exe, source, result, *check):
    out = subprocess.run([compare_exe, source, result, *check], capture_output=True, text=True,
                         timeout=STEP_TIMEOUT)
    log("  %s: %s" % (os.path.basename(result), out.stdout.strip()))
    if out.returncode != 0:
        raise Failure("%s does not pass the check %s" % (result, " ".join(check)))


def run(args):
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "home"))
    runtime = os.path.join(work, "runtime")
    os.makedirs(runtime, mode=0o700)

    # The program keeps its settings beside itself: a copy of its own keeps them out of the build.
    tilvo = os.path.join(work, "tilvo")
    shutil.copy2(args.tilvo, tilvo)
    with open(os.path.join(work, "tilvo.ini"), "w") as ini:
        ini.write("[General]\nTop=0\nLeft=0\nWidth=700\nHeight=520\n"
                  "[FilterBrush]\nBrushSize=20\nSoftenEdge=1\n[Mosaic]\nMosaicSize=8\n")
    picture = os.path.join(work, "sample.jpg")
    shutil.copy2(args.sample, picture)

    xvfb, display = start_xvfb(work)
    env = dict(os.environ, DISPLAY=display, HOME=os.path.join(work, "home"),
               XDG_CONFIG_HOME=os.path.join(work, "home", ".config"), XDG_RUNTIME_DIR=runtime,
               QT_QPA_PLATFORM="xcb", LANG="C.UTF-8", LC_ALL="C.UTF-8")
    # In a sanitized build the leak checker runs at exit; the D-Bus library of the system keeps a
    # buffer to the end on purpose.
    suppressions = os.path.join(work, "lsan.supp")
    with open(suppressions, "w") as supp:
        supp.write("leak:libdbus-1.so\n")
    env["LSAN_OPTIONS"] = ":".join(
        filter(None, [os.environ.get("LSAN_OPTIONS"), "suppressions=" + suppressions]))
    env.pop("WAYLAND_DISPLAY", None)
    env.pop("QT_QPA_PLATFORMTHEME", None)
    s = Session(display, env, work)
    program = None
    try:
        program = subprocess.Popen([tilvo, picture], env=env, cwd=work,
                                   stdout=open(os.path.join(work, "tilvo.log"), "w"),
                                   stderr=subprocess.STDOUT)
        main_window = s.wait_window("^sample\\.jpg - Tilvo v1\\.47$")
        log("main window %s on %s" % (main_window, display))
        s.focus(main_window)
        time.sleep(0.5)
        # The 240 x 320 picture sits in the middle of the view.
        left = picture_left(s, main_window, 250)
        top = picture_top(s, main_window, left + 120)
        log("picture at %d, %d in the window" % (left, top))

        # A horizontal stroke across the picture (x 60 ... 200, y 56 of the picture).
        stroke(s, main_window, left + 60, left + 200, top + 56)

        stroked = os.path.join(work, "stroked.bmp")
        save_as_bitmap(s, main_window, stroked)

        s.focus(main_window)
        s.keys("ctrl+z")
        undone = os.path.join(work, "undone.bmp")
        save_as_bitmap(s, main_window, undone)

        s.focus(main_window)
        s.keys("alt+e")
        s.keys("r")
        final = os.path.join(work, "final.bmp")
        save_as_bitmap(s, main_window, final)

        # Zoom in a step (3/2) and drag a rectangle with Ctrl held: 150 x 60 screen pixels are
        # 100 x 40 picture pixels. The picture, 480 high now, fills the view's height.
        s.focus(main_window)
        s.keys("ctrl+plus")
        time.sleep(0.5)
        zoomed = picture_left(s, main_window, 200)
        s.xdotool("mousemove", "--window", main_window, zoomed + 60, 100)
        time.sleep(0.2)
        s.xdotool("keydown", "ctrl")
        s.xdotool("mousedown", "1")
        for step in range(1, 11):
            s.xdotool("mousemove", "--window", main_window, zoomed + 60 + 15 * step,
                      100 + 6 * step)
            time.sleep(0.03)
        s.xdotool("mouseup", "1")
        s.xdotool("keyup", "ctrl")
        time.sleep(0.5)
        rectangle = os.path.join(work, "rectangle.bmp")
        save_as_bitmap(s, main_window, rectangle)

        # Right after the name was typed in the real Save As dialog, a stroke (nothing else
        # first) lands: 150 screen pixels at 3/2 are 100 picture pixels.
        stroke(s, main_window, zoomed + 60, zoomed + 210, 300)
        after_save = os.path.join(work, "after_save.bmp")
        save_as_bitmap(s, main_window, after_save)

        # The real Open dialog: the picture's name typed (its completion list shows as it is
        # typed), Enter (the work was just saved: nothing is asked); then at once a stroke, which
        # must land.
        s.focus(main_window)
        s.keys("ctrl+o")
        dialog = s.wait_window("^Open")
        s.focus(dialog)
        s.keys("ctrl+a")
        s.type(os.path.join(work, "sam"))
        time.sleep(0.5)
        s.type("ple.jpg")
        s.keys("Return")
        s.wait_gone(dialog, "^Open")
        time.sleep(0.5)
        left = picture_left(s, main_window, 250)
        stroke(s, main_window, left + 60, left + 200, top + 56)
        after_open = os.path.join(work, "after_open.bmp")
        save_as_bitmap(s, main_window, after_open)

        if program.poll() is not None:
            raise Failure("tilvo ended early with %s" % program.returncode)

        # File > Exit: the program ends cleanly and keeps its settings.
        s.focus(main_window)
        s.keys("alt+f")
        s.keys("x")
        try:
            code = program.wait(STEP_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise Failure("tilvo did not end after File > Exit")
        if code != 0:
            raise Failure("tilvo ended with %s" % code)
        with open(os.path.join(work, "tilvo.ini")) as ini:
            settings = ini.read()
        if "MosaicSize=8" not in settings or "SoftenEdge=1" not in settings:
            raise Failure("the settings were not written back:\n" + settings)

        log("checking the written files")
        compare(args.compare, picture, undone, "same")
        # The stroke is 140 pixels long with a brush of 20: its rectangle, aligned to 8, is at
        # most 176 wide and 36 high; the softened edge may leave a few of its outer pixels as they
        # were.
        compare(args.compare, picture, final, "band", "140", "176", "12", "40")
        # Redo gives back exactly what Undo took away: the file saved after the redo equals the
        # one saved right after the stroke.
        compare(args.compare, stroked, final, "same")
        # The rectangle: 101 x 41 pixels with both corners inside, its soft edge a pixel or two
        # around it.
        compare(args.compare, final, rectangle, "band", "99", "106", "39", "46")
        # The strokes right after the dialogs landed: each changed a band of its own size.
        compare(args.compare, rectangle, after_save, "band", "100", "136", "12", "40")
        compare(args.compare, picture, after_open, "band", "140", "176", "12", "40")
        log("passed")
        return 0
    finally:
        if program is not None and program.poll() is None:
            program.send_signal(signal.SIGTERM)
            try:
                program.wait(5)
            except subprocess.TimeoutExpired:
                program.kill()
        xvfb.terminate()
        try:
            xvfb.wait(5)
        except subprocess.TimeoutExpired:
            xvfb.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tilvo", required=True)
    parser.add_argument("--compare", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    if shutil.which("Xvfb") is None:
        log("SKIP: Xvfb is not installed")
        return 77
    if shutil.which("import") is None or shutil.which("convert") is None:
        log("SKIP: ImageMagick's import and convert are not installed")
        return 77
    try:
        return run(args)
    except (Failure, subprocess.TimeoutExpired) as e:
        log("FAILED: %s" % e)
        log_file = os.path.join(os.path.abspath(args.work), "tilvo.log")
        if os.path.exists(log_file):
            log("tilvo output:\n" + open(log_file).read())
        return 1


if __name__ == "__main__":
    sys.exit(main())
