#!/usr/bin/env bash
# Builds the Debian package from build/ (configured by ./test.sh), checks it with lintian,
# installs it with apt, runs the installed programs, validates the desktop entry and the AppStream
# metadata, and removes the package again together with every package its installation brought
# in, so that the machine is left as it was. Needs root (or sudo) on a Debian machine; .ci/run
# calls it after the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

say() { echo "package-test: $*"; }
fail() { echo "package-test: FAILED: $*" >&2; exit 1; }

tools/install-deps.sh package
[ -f build/CMakeCache.txt ] || fail "build/ is not configured: run ./test.sh first"
if dpkg-query -W -f='${Status}' tilvo 2>/dev/null | grep -q "ok installed"; then
    fail "a tilvo package is installed already; this test would replace and remove it"
fi

cmake --build build -j "$(nproc)"
rm -f build/tilvo_*.deb
(cd build && cpack -G DEB)
debs=(build/tilvo_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single tilvo_*.deb"
deb=$root/${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$(basename "$deb")" = "tilvo_${version}_${arch}.deb" ] || fail "unexpected name $(basename "$deb")"
say "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB, Installed-Size $(dpkg-deb -f "$deb" Installed-Size) KiB"

say "lintian"
lintian --fail-on error "$deb"

work=$(mktemp -d)
before=$work/packages-before
dpkg-query -W -f='${Package}:${Architecture}\n' | sort >"$before"
cleanup() {
    local rc=$?
    say "removing the package and what it brought in"
    dpkg-query -W -f='${Package}:${Architecture}\n' | sort >"$work/packages-after"
    mapfile -t added < <(comm -13 "$before" "$work/packages-after")
    if [ ${#added[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 \
            purge -y -qq "${added[@]}" >/dev/null
    fi
    dpkg-query -W -f='${Package}:${Architecture}\n' | sort >"$work/packages-left"
    if ! cmp -s "$before" "$work/packages-left"; then
        echo "package-test: the installed packages differ from before:" >&2
        diff "$before" "$work/packages-left" >&2 || true
        rc=1
    fi
    rm -rf "$work"
    exit $rc
}
trap cleanup EXIT

say "apt install $deb"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$deb" >/dev/null

say "the installed programs"
[ "$(command -v tilvo-cli)" = /usr/bin/tilvo-cli ] || fail "tilvo-cli is not /usr/bin/tilvo-cli"
[ "$(/usr/bin/tilvo-cli --version)" = "tilvo-cli $version" ] || fail "tilvo-cli --version"
[ "$(QT_QPA_PLATFORM=offscreen /usr/bin/tilvo --version)" = "tilvo $version" ] ||
    fail "tilvo --version"
# A JPEG through the band path, and a HEIC through the installed codec module (found from
# /usr/bin, not from the build tree).
(cd "$work" &&
    /usr/bin/tilvo-cli "$root/data/sample.jpg" hidden.jpg --mosaic 16 --rect 10,10,120,80 &&
    /usr/bin/tilvo-cli --verify hidden.jpg >/dev/null &&
    /usr/bin/tilvo-cli "$root/tests/data/read/heic/photo.heic" photo.png --stroke 5,5 &&
    /usr/bin/tilvo-cli photo.png photo.ppm) || fail "the installed tilvo-cli"
[ "$(head -c 2 "$work/photo.ppm")" = P6 ] || fail "no PPM written"
QT_QPA_PLATFORM=offscreen /usr/bin/tilvo --help | grep -q -- --version || fail "tilvo --help"
man -w tilvo tilvo-cli >/dev/null || fail "manual pages not found by man"
bash -n /usr/share/bash-completion/completions/tilvo-cli || fail "bash completion"

say "desktop entry and AppStream metadata"
desktop-file-validate /usr/share/applications/tilvo.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.example.tilvo.metainfo.xml
for size in 16x16 32x32 48x48 64x64 128x128 256x256 scalable; do
    ls /usr/share/icons/hicolor/$size/apps/tilvo.* >/dev/null || fail "no $size icon"
done

say "ok"
