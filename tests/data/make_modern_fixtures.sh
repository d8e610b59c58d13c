#!/usr/bin/env bash
# Writes the HEIC/AVIF and WebP reader fixtures with the codecs' own tools: heif-enc (libheif-examples)
# and cwebp/img2webp (webp) encode, heif-convert and dwebp decode the expected pictures. Those tools
# are needed only here, never at test time.
#
# tests/data/read/heic/<case>.heic|.avif beside <case>.png, tests/data/read/webp/<case>.webp
# beside <case>.png. The expected pictures come from the libraries' own decoders, so a lossy file
# must match exactly: the reader decodes through the same library and composites alpha over white
# the way the PNG reader does. rotated.heic is stored on its side with an irot box (from a JPEG
# whose Exif orientation is 6) and carries that Exif block; exif.webp carries one in its EXIF chunk.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
heic=$here/read/heic
webp=$here/read/webp
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Sources: a small colour picture with sharp edges, and one with graded transparency.
convert -size 24x16 gradient:red-blue \( -size 12x8 xc:lime \) -geometry +4+4 -composite \
    -fill yellow -draw 'rectangle 18,2 21,13' "$tmp/colour.png"
convert -size 20x14 gradient:'rgba(255,0,0,1)'-'rgba(0,0,255,0)' -fill 'rgba(0,128,0,0.5)' \
    -draw 'rectangle 3,3 10,10' "PNG32:$tmp/alpha.png"
convert -size 16x12 xc:orange -fill navy -draw 'rectangle 2,2 9,7' "PNG24:$tmp/frame1.png"
convert -size 16x12 xc:teal "PNG24:$tmp/frame2.png"

# A JPEG with an Exif block: orientation 6 (the picture is stored turned left), a camera name and
# a thumbnail in IFD1.
convert "$tmp/colour.png" -quality 95 "$tmp/plain.jpg"
convert -size 8x6 xc:magenta -quality 80 "$tmp/thumb.jpg"
python3 - "$tmp/plain.jpg" "$tmp/thumb.jpg" "$tmp/exif.jpg" <<'PY'
import struct, sys
jpeg = open(sys.argv[1], 'rb').read()
thumb = open(sys.argv[2], 'rb').read()
make = b'TilvoCam\0'
# Little-endian TIFF: header, IFD0 (Make, Orientation), IFD1 (Compression, thumbnail offset/length)
ifd0 = 8
ifd0_size = 2 + 2 * 12 + 4
make_at = ifd0 + ifd0_size
ifd1 = make_at + len(make)
ifd1_size = 2 + 3 * 12 + 4
thumb_at = ifd1 + ifd1_size
t = b'II*\0' + struct.pack('<I', ifd0)
t += struct.pack('<H', 2)
t += struct.pack('<HHII', 0x010F, 2, len(make), make_at)
t += struct.pack('<HHIHH', 0x0112, 3, 1, 6, 0)
t += struct.pack('<I', ifd1)
t += make
t += struct.pack('<H', 3)
t += struct.pack('<HHIHH', 0x0103, 3, 1, 6, 0)
t += struct.pack('<HHII', 0x0201, 4, 1, thumb_at)
t += struct.pack('<HHII', 0x0202, 4, 1, len(thumb))
t += struct.pack('<I', 0)
t += thumb
body = b'Exif\0\0' + t
app1 = b'\xff\xe1' + struct.pack('>H', len(body) + 2) + body
open(sys.argv[3], 'wb').write(jpeg[:2] + app1 + jpeg[2:])
PY

heif-enc -q 60 -o "$heic/photo.heic" "$tmp/colour.png" >/dev/null
# The Exif block alone, from its TIFF header (the JPEG's APP1 payload after "Exif\0\0").
python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); n = int.from_bytes(d[4:6], "big")
open(sys.argv[2], "wb").write(d[12:4 + n])' "$tmp/exif.jpg" "$tmp/exif.tiff"
g++ -O1 -o "$tmp/make_heic_rotated" "$here/make_heic_rotated.cpp" $(pkg-config --cflags --libs libheif)
convert "$tmp/colour.png" -depth 8 "rgb:$tmp/colour.rgb"
"$tmp/make_heic_rotated" 24 16 "$tmp/colour.rgb" "$tmp/exif.tiff" "$heic/rotated.heic"
heif-enc -q 60 -o "$heic/alpha.heic" "$tmp/alpha.png" >/dev/null
heif-enc -A -q 60 -o "$heic/photo_av1.avif" "$tmp/colour.png" >/dev/null
heif-enc -A -q 60 -o "$heic/alpha_av1.avif" "$tmp/alpha.png" >/dev/null
for f in photo.heic rotated.heic alpha.heic photo_av1.avif alpha_av1.avif; do
    heif-convert "$heic/$f" "$tmp/out.png" >/dev/null
    mv "$tmp/out.png" "$heic/${f%.*}.png"
done

cwebp -quiet -q 70 "$tmp/colour.png" -o "$webp/lossy.webp"
cwebp -quiet -lossless "$tmp/colour.png" -o "$webp/lossless.webp"
cwebp -quiet -q 70 -alpha_q 100 "$tmp/alpha.png" -o "$webp/alpha.webp"
cwebp -quiet -q 70 -metadata exif "$tmp/exif.jpg" -o "$webp/exif.webp"
for f in lossy lossless alpha exif; do
    dwebp -quiet "$webp/$f.webp" -o "$webp/$f.png"
done
# An animation of two lossless frames: the reader shows the first, so the expected picture is the
# first frame's source.
img2webp -loop 0 -lossless -d 100 "$tmp/frame1.png" "$tmp/frame2.png" -o "$webp/animated.webp" \
    >/dev/null
cp "$tmp/frame1.png" "$webp/animated.png"
# An animation whose first frame covers only part of the canvas, at an offset (the rest of the
# canvas starts transparent, so it shows white); the second frame fixes the canvas size.
convert -size 8x6 xc:orange "PNG24:$tmp/small.png"
cwebp -quiet -lossless "$tmp/small.png" -o "$tmp/small.webp"
cwebp -quiet -lossless "$tmp/frame2.png" -o "$tmp/frame2.webp"
webpmux -frame "$tmp/small.webp" +100+4+2 -frame "$tmp/frame2.webp" +100 -loop 0 \
    -o "$webp/animated_offset.webp" >/dev/null
convert -size 16x12 xc:white "$tmp/small.png" -geometry +4+2 -composite "PNG24:$webp/animated_offset.png"
