#!/usr/bin/env bash
# What installing the Debian package adds to a Debian 12 base system (every package of priority
# required or important), as README gives it: apt-get simulates the installs from an empty package
# list (nothing is installed or downloaded), once for the core (--no-install-recommends) and once
# with the package's Recommends (the codec modules' libraries), and the packages beyond the base
# are summed by their Installed-Size.   Usage: tools/package-sizes.sh build/tilvo_*.deb
set -euo pipefail
deb=$(realpath "${1:?usage: $0 TILVO_DEB}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/status"
simulate() {
    apt-get -s -o Dir::State::status="$work/status" --no-install-recommends install "$@" \
        2>/dev/null | awk '/^Inst /{print $2}' | sort -u
}
sizes() { apt-cache show --no-all-versions "$@" | awk '/^Installed-Size:/{t += $2} END{print t}'; }

mapfile -t base < <(apt-cache dumpavail |
    awk '/^Package:/{p=$2} /^Priority: (required|important)/{print p}' | sort -u)
simulate "${base[@]}" >"$work/base"
recommends=$(dpkg-deb -f "$deb" Recommends | sed 's/([^)]*)//g; s/,/ /g')
echo "tilvo $(dpkg-deb -f "$deb" Version): $(du -k "$deb" | cut -f1) KiB file," \
    "Installed-Size $(dpkg-deb -f "$deb" Installed-Size) KiB"
for what in core recommends; do
    extra=()
    [ "$what" = recommends ] && read -r -a extra <<<"$recommends"
    mapfile -t added < <(simulate "${base[@]}" "$deb" "${extra[@]}" | comm -13 "$work/base" - |
        grep -vx tilvo)
    echo "$what: ${#added[@]} packages beyond the base system," \
        "$(($(sizes "${added[@]}") / 1024)) MiB"
done
