#!/bin/sh
# Makes the source release that the OpenWrt package fetches as its
# PKG_SOURCE, from a commit (a release's tag; HEAD by default, uncommitted
# changes are not in it):
#
#   scripts/dist.sh [-o DIR] [--set-hash MAKEFILE] [REF]
#
# writes DIR/mqtt-serial-bridge-<version>.tar.gz (DIR: dist/ in the
# repository; the version is PKG_VERSION of the package's Makefile) and
# prints its SHA-256. --set-hash writes that as PKG_HASH into MAKEFILE (the
# package's own, or a feed's copy): the release step, committed with it.
#
# The tarball holds the commit's files under mqtt-serial-bridge-<version>/
# (the folder the SDK unpacks into) but the package folder itself, whose
# PKG_HASH would otherwise change what it hashes. Names sorted, one fixed
# date, no owners and gzip without a time stamp: the same files give the
# same bytes from any clone, so packaging/tests/test-openwrt-build.sh can
# check the recipe's PKG_HASH against the commit that set it.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"
recipe=$ROOT/packaging/openwrt/mqtt-serial-bridge/Makefile
out=$ROOT/dist
set_hash=
while [ $# -gt 0 ]; do
    case $1 in
    -o) out=$2; shift 2 ;;
    --set-hash) set_hash=$2; shift 2 ;;
    -*) die "unknown option $1" ;;
    *) break ;;
    esac
done
ref=${1:-HEAD}

version=$(sed -n 's/^PKG_VERSION:=//p' "$recipe")
[ -n "$version" ] || die "no PKG_VERSION in $recipe"
commit=$(git -C "$ROOT" rev-parse --verify -q "$ref^{commit}") || die "no commit $ref"
name=mqtt-serial-bridge-$version
tarball=$out/$name.tar.gz

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
git -C "$ROOT" archive --format=tar --prefix="$name/" "$commit" -- . ':(exclude)packaging/openwrt' |
    tar -C "$stage" -xf -
mkdir -p "$out"
tar -C "$stage" --sort=name --mtime=@1767225600 --owner=0 --group=0 --numeric-owner --format=gnu \
    -cf - "$name" | gzip -n -9 >"$tarball"
hash=$(sha256sum "$tarball" | cut -d' ' -f1)
echo "$tarball ($(wc -c <"$tarball") bytes, from $(git -C "$ROOT" rev-parse --short "$commit"))"
echo "PKG_HASH:=$hash"

if [ -n "$set_hash" ]; then
    grep -q '^PKG_HASH:=' "$set_hash" || die "no PKG_HASH line in $set_hash"
    sed -i "s/^PKG_HASH:=.*/PKG_HASH:=$hash/" "$set_hash"
    log "PKG_HASH set in $set_hash"
fi
