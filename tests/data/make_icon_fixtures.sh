#!/usr/bin/env bash
# Makes the icon, cursor and resource fixtures under tests/data/read/{ico,cur,res}/ with
# independent tools: icotool (icoutils), ImageMagick, Pillow and llvm-rc-14. The expected pictures
# come from `icotool -x` (whose alpha the PNG reader composites over white, as the icon reader
# does) or from Pillow's decoders with the alpha dropped where the mask is not part of the picture.
# Needed only to remake the files: apt-get install icoutils imagemagick python3-pil llvm-14
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/read
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
py=/usr/bin/python3

# Source pictures: 2, 16 and 200 colours, true colour, partial alpha, holes of alpha 0 over
# palette colours, and 256 × 256 pictures of two and few colours.
$py - <<'EOF'
from PIL import Image
def save(name, w, h, f, mode="RGB"):
    im = Image.new(mode, (w, h))
    im.putdata([f(x, y) for y in range(h) for x in range(w)])
    im.save(name)
pal2 = [(20, 40, 200), (250, 230, 10)]
pal16 = [(i * 16, 255 - i * 15, (i * 70) % 256) for i in range(16)]
pal200 = [((i * 37) % 256, (i * 11) % 256, (i * 5) % 256) for i in range(200)]
save("c2.png", 13, 11, lambda x, y: pal2[(x * 3 + y) % 5 < 2])
save("c16.png", 20, 17, lambda x, y: pal16[(x + 2 * y) % 16])
save("c200.png", 24, 19, lambda x, y: pal200[(x + y * 24) % 200])
save("rgb.png", 21, 14, lambda x, y: (x * 12, y * 18, (x * y) % 256))
save("alpha.png", 18, 12, lambda x, y: (x * 14, 255 - y * 20, 90, (x * 15) % 256), "RGBA")
save("holes.png", 16, 10,
     lambda x, y: pal16[(x + y) % 16] + ((0,) if (x - 8) ** 2 + (y - 5) ** 2 < 10 else (255,)),
     "RGBA")
save("big.png", 256, 256, lambda x, y: ((x // 32) * 36, (y // 32) * 36, 128))
save("big2.png", 256, 256, lambda x, y: pal2[((x // 16) + (y // 16)) % 2])
EOF

mkdir -p "$out/ico" "$out/cur" "$out/res"

# Expected picture from icotool's own extraction of the first image.
extract() {  # file expected.png
    rm -rf x && mkdir x && icotool -x -i 1 -o x "$1" && mv x/*.png "$2"
}
# Expected picture from Pillow, alpha dropped: the stored colours, which is what a reader that
# does not apply the mask shows.
pillow_rgb() {  # file expected.png
    $py -c "import sys; from PIL import Image; Image.open(sys.argv[1]).convert('RGB').save(sys.argv[2])" "$1" "$2"
}

# Icons: every depth from icotool, several images, PNG entries, 256 × 256 entries written as 0.
mkdir -p ico cur res
icotool -c -b 1 -o ico/ico1.ico c2.png
icotool -c -b 4 -o ico/ico4.ico c16.png
icotool -c -b 8 -o ico/ico8.ico c200.png
icotool -c -b 24 -o ico/ico24.ico rgb.png
icotool -c -b 32 -o ico/ico32.ico alpha.png
icotool -c -o ico/holes8.ico holes.png
icotool -c -o ico/multi.ico c16.png rgb.png
icotool -c -r big.png -o ico/rawpng.ico
icotool -c -b 1 -o ico/big1.ico big2.png
convert rgb.png ico/im_rgb.ico
convert big.png -define icon:auto-resize=256 ico/im_256.ico
$py -c "from PIL import Image; Image.open('alpha.png').save('ico/pil_png.ico', sizes=[(18, 12)])"
for f in ico/*.ico; do
    case $f in
        # icotool's extraction shifts the colours of 24-bit images; Pillow reads them right.
        ico/holes8.ico | ico/ico24.ico) pillow_rgb "$f" "${f%.ico}.png" ;;
        *) extract "$f" "${f%.ico}.png" ;;
    esac
done

# Cursors with hot spots.
icotool -c --cursor -X 3 -Y 7 -b 1 -o cur/arrow1.cur c2.png
icotool -c --cursor -X 10 -Y 2 -b 8 -o cur/pal8.cur c200.png
icotool -c --cursor -X 0 -Y 0 -b 32 -o cur/alpha32.cur alpha.png
for f in cur/*.cur; do extract "$f" "${f%.cur}.png"; done

# Resource files. A version resource before the bitmap (skipped), an RLE8 bitmap, a 24-bit
# bitmap in a .dcr, icon and cursor resources (the group entry after them names them), a 32-bit
# icon (opened as 32 bits: its alpha is dropped, not composited) and a named "JPEG" resource.
convert c200.png -type palette BMP3:pal8.bmp
convert rgb.png -type truecolor BMP3:rgb24.bmp
convert rgb.png -quality 95 photo.jpg
cat > version_bitmap.rc <<'EOF'
1 VERSIONINFO
FILEVERSION 1,0,0,0
BEGIN
END
PICTURE BITMAP "pal8.bmp"
EOF
echo 'TOOLBAR BITMAP "rgb24.bmp"' > bitmap24.rc
echo 'MAINICON ICON "ico/ico8.ico"' > icon8.rc
echo 'BUSY ICON "ico/ico32.ico"' > icon32.rc
echo 'ARROW CURSOR "cur/arrow1.cur"' > cursor1.rc
echo 'PHOTO JPEG "photo.jpg"' > jpeg.rc
for s in version_bitmap bitmap24 icon8 icon32 cursor1 jpeg; do
    llvm-rc-14 -no-preprocess -fo "$s.res" "$s.rc"
done
cp version_bitmap.res res/version_bitmap.res
cp bitmap24.res res/bitmap24.dcr
cp icon8.res icon32.res cursor1.res jpeg.res res/
pillow_rgb pal8.bmp res/version_bitmap.png
pillow_rgb rgb24.bmp res/bitmap24.png
pillow_rgb ico/ico8.ico res/icon8.png
pillow_rgb ico/ico32.ico res/icon32.png
pillow_rgb cur/arrow1.cur res/cursor1.png
pillow_rgb photo.jpg res/jpeg.png

for d in ico cur res; do cp "$d"/* "$out/$d/"; done
echo "written: $(ls "$out/ico" "$out/cur" "$out/res" | wc -l) files"
