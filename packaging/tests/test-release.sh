#!/bin/sh
# Makes the release artifact twice, as scripts/release.sh does: first with
# other settings (CMAKE_ARGS), then with none, in the same build folder. Each
# artifact's INSTALL must list the settings it was asked for: the second the
# defaults, whatever the first left behind; its executable must fit a small
# flash. The last artifact, with the defaults, stays in dist/.
set -u

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$ROOT/packaging/tests/tally.sh"
# Half of the 4,150,780 bytes stripped that the executable was with the
# whole of OpenSSL: what a board with a few MB of overlay left can take. The
# trimmed OpenSSL, built for size and without PIC for the archives, brings
# it under this.
size_max=2075000
version=$(sed -n 's/^PKG_VERSION:=//p' "$ROOT/packaging/openwrt/mqtt-serial-bridge/Makefile")
artifact=$ROOT/dist/mqtt-serial-bridge-$version-mips_24kc-musl.tar.gz

# release_lists LABEL LINE...: the artifact's INSTALL holds each LINE.
release_lists() {
    label=$1
    shift
    install=$(tar -xzOf "$artifact" --wildcards '*/INSTALL') || { fail "$label: no INSTALL"; return; }
    for line in "$@"; do
        if printf '%s\n' "$install" | grep -qF -- "$line"; then ok "$label lists $line"; else
            fail "$label does not list $line"
        fi
    done
}

if CMAKE_ARGS="-DBRIDGE_BROKER_HOST=other.example -DBRIDGE_POLL_INTERVAL_MS=50" \
    sh "$ROOT/scripts/release.sh" >/dev/null; then
    release_lists "release with other settings" 'BRIDGE_BROKER_HOST "other.example"' \
        'BRIDGE_POLL_INTERVAL_MS 50'
else
    fail "release with other settings"
fi
if CMAKE_ARGS= sh "$ROOT/scripts/release.sh"; then
    release_lists "release with the defaults" 'BRIDGE_BROKER_HOST "localhost"' \
        'BRIDGE_POLL_INTERVAL_MS 100'
    size=$(tar -xzOf "$artifact" --wildcards '*/mqtt-serial-bridge' | wc -c)
    echo "the release's executable: $size bytes stripped (at most $size_max)"
    if [ "$size" -gt 0 ] && [ "$size" -le $size_max ]; then
        ok "the release's executable fits in $size_max bytes"
    else
        fail "the release's executable is $size bytes, more than $size_max"
    fi
else
    fail "release with the defaults"
fi
finish
