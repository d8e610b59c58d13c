#!/usr/bin/python3
"""Makes the fixtures of the face and text search under tests/data/find/.

    tools/make_find_fixtures.py [--out tests/data/find]

Text: two screenshot-like pictures, dark text on a light page and light text on a dark one, with
names, addresses, e-mail addresses, telephone numbers, IBANs, card numbers, dates and number
plates at 11 to 30 pixels (DejaVu Sans from fonts-dejavu-core), and beside each a .tsv of every
word drawn: size, x, y, w, h, text.

Faces: crops of the two faces of python3-skimage's sample photographs (astronaut.png, Eileen
Collins, a NASA photograph in the public domain; camera.png, the cameraman, which scikit-image
ships as CC0 by its photographer, Lav Varshney), and face-free photographs of the same package
as small JPEGs: coffee.png (CC0, Rachel Michetti), rocket.jpg (SpaceX, public domain),
brick.png, grass.png and gravel.png (CC0), the licences as the package's data module states. The
tests paste the faces onto the backgrounds at sizes from 24 to 600 pixels and small turns in
test code.

Needs python3-pil, python3-skimage and fonts-dejavu-core here; the tests need none of them.
"""

import argparse
import os

from PIL import Image, ImageDraw, ImageFont

SKIMAGE = "/usr/lib/python3/dist-packages/skimage/data"
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

LINES = [
    "Anna Kowalski, 14 Harbour Street, Leeds",
    "anna.kowalski@example.org phone +44 20 7946 0958",
    "IBAN GB82 WEST 1234 5698 7654 32",
    "Card 4111 1111 1111 1111 valid 09/28",
    "Born 12.03.1984 plate AB12 CDE",
    "Order 2024-05-17 for Jonas Petersen",
    "Maria Gonzalez (555) 867-5309 Springfield",
    "Invoice sent to j.petersen@mail.example.com",
    "Lukas Brenner, Rosenweg 7, 80331 Munich",
    "Plate KL-MN 482 seen at 17:45 on 3 March 2023",
]
SIZES = [11, 12, 14, 16, 20, 24, 30]


def render(path, light):
    width, height = 1024, 760
    paper, ink = ((250, 250, 247), (30, 30, 34)) if light else ((32, 34, 40), (226, 228, 222))
    img = Image.new("RGB", (width, height), paper)
    d = ImageDraw.Draw(img)
    rows = []
    y = 12
    n = 0
    for size in SIZES:
        font = ImageFont.truetype(FONT, size)
        for k in range(3):
            line = LINES[(n + (0 if light else 3)) % len(LINES)]
            n += 1
            x = 16
            for word in line.split(" "):
                x0, y0, x1, y1 = d.textbbox((x, y), word, font=font)
                d.text((x, y), word, font=font, fill=ink)  # x may be fractional
                rows.append((size, int(x0), int(y0), int(x1 - x0 + 0.999), int(y1 - y0 + 0.999), word))
                x += d.textlength(word + " ", font=font)
            y += int(size * 1.6) + 4
    img.save(path + ".png", optimize=True)
    with open(path + ".tsv", "w") as f:
        f.write("size\tx\ty\tw\th\ttext\n")
        for r in rows:
            f.write("\t".join(str(v) for v in r) + "\n")


def faces(out):
    astronaut = Image.open(os.path.join(SKIMAGE, "astronaut.png")).convert("RGB")
    # The head with its hair and chin, 200 pixels wide.
    astronaut.crop((150, 20, 300, 200)).resize((200, 240), Image.LANCZOS).save(
        os.path.join(out, "face_astronaut.jpg"), quality=92)
    camera = Image.open(os.path.join(SKIMAGE, "camera.png")).convert("RGB")
    camera.crop((180, 60, 300, 200)).save(os.path.join(out, "face_camera.jpg"), quality=92)
    for name in ["coffee", "rocket", "brick", "grass", "gravel"]:
        img = Image.open(os.path.join(SKIMAGE, name + (".jpg" if name == "rocket" else ".png"))).convert("RGB")
        img.thumbnail((320, 320), Image.LANCZOS)
        img.save(os.path.join(out, "background_" + name + ".jpg"), quality=75)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "tests", "data", "find"))
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    render(os.path.join(a.out, "screen_light"), True)
    render(os.path.join(a.out, "screen_dark"), False)
    faces(a.out)


if __name__ == "__main__":
    main()
