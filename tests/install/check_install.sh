#!/usr/bin/env bash
# check_install.sh CMAKE BUILD_DIR VERSION APP_ID
# Installs BUILD_DIR under /usr in a scratch DESTDIR, then checks the files,
# validates the menu entry and the metadata with the freedesktop tools and
# runs the installed programs.
set -euo pipefail
cmake=$1 build=$2 version=$3 id=$4

dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest "$cmake" --install "$build" --prefix /usr >/dev/null
usr=$dest/usr
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

desktop=$usr/share/applications/$id.desktop
metainfo=$usr/share/metainfo/$id.metainfo.xml
icons=$usr/share/icons/hicolor
doc=$usr/share/doc/relvane
for f in "$desktop" "$metainfo" "$icons/scalable/apps/$id.svg" \
    "$usr/share/man/man1/relvane.1.gz" "$usr/share/man/man1/relvane-cli.1.gz" \
    "$doc/copyright" "$doc/changelog.gz"; do
    [ -s "$f" ] || fail "missing $f"
done
for f in relvane relvane-cli; do
    [ -x "$usr/bin/$f" ] || fail "missing executable bin/$f"
done

# Each PNG has the size its folder promises (IHDR: width, height at byte 16).
for size in 16 32 48 64 128 256; do
    png=$icons/${size}x${size}/apps/$id.png
    if [ ! -s "$png" ]; then
        fail "missing $png"
        continue
    fi
    dims=$(od -An -tu4 --endian=big -j16 -N8 "$png" | xargs)
    [ "$dims" = "$size $size" ] || fail "$png is $dims, not $size $size"
done

# Hints count too: desktop-file-validate exits 0 on them.
report=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$report" ] ||
    fail "desktop-file-validate: $report"
appstreamcli validate --no-net --strict "$metainfo" || fail "appstreamcli validate $metainfo"

# One id everywhere; the metadata's newest release is the project's version.
grep -qx "Icon=$id" "$desktop" || fail "the menu entry's Icon is not $id"
grep -qx "Exec=relvane" "$desktop" || fail "the menu entry's Exec is not the bare program"
grep -q "<id>$id</id>" "$metainfo" || fail "the metadata's id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "the metadata does not launch $id.desktop"
for b in $(grep -o '<binary>[^<]*</binary>' "$metainfo" | sed 's/<[^>]*>//g'); do
    [ -x "$usr/bin/$b" ] || fail "the metadata provides $b, which is not installed"
done
newest=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n1 | cut -d'"' -f2)
[ "$newest" = "$version" ] || fail "newest release in the metadata is $newest, not $version"

# Debian's changelog parses, and its newest entry is this version of this package.
gzip -cd "$doc/changelog.gz" >"$dest/changelog"
newest=$(dpkg-parsechangelog -l "$dest/changelog" -S Version) || fail "the changelog does not parse"
[ "$newest" = "$version" ] || fail "newest entry in the changelog is $newest, not $version"
[ "$(dpkg-parsechangelog -l "$dest/changelog" -S Source)" = relvane ] ||
    fail "the changelog is not relvane's"
grep -q '^License: ' "$doc/copyright" || fail "the copyright file names no licence"

# The pages are compressed, carry the version, and relvane-cli's comes from its --help.
gzip -cd "$usr/share/man/man1/relvane-cli.1.gz" | grep -q '^\.TH RELVANE-CLI .*relvane-cli '"$version" ||
    fail "relvane-cli.1 lacks its title line with version $version"
gzip -cd "$usr/share/man/man1/relvane-cli.1.gz" | grep -q 'recv\\-dir' ||
    fail "relvane-cli.1 does not list the options"
gzip -cd "$usr/share/man/man1/relvane.1.gz" | grep -q '^\.TH RELVANE 1 .*relvane '"$version" ||
    fail "relvane.1 lacks its title line with version $version"

# Without a display: the command line is answered before any window.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$usr/bin/relvane" --version) ||
    fail "relvane --version exits with $?"
[ "$out" = "relvane $version" ] || fail "relvane --version prints '$out'"
# Read whole before grep looks: with pipefail a grep -q that stops early
# fails the pipe on the writer's SIGPIPE.
help=$(env -u DISPLAY -u WAYLAND_DISPLAY "$usr/bin/relvane" --help) || fail "relvane --help exits with $?"
grep -q -- --version <<<"$help" || fail "relvane --help does not list --version"
status=0
err=$(env -u DISPLAY -u WAYLAND_DISPLAY "$usr/bin/relvane" --bogus 2>&1 >/dev/null) || status=$?
[ "$status" -eq 2 ] && [[ "$err" == *bogus* ]] ||
    fail "relvane --bogus exits with $status and says '$err'"
help=$("$usr/bin/relvane-cli" --help) || fail "relvane-cli --help exits with $?"
grep -q relvane-cli <<<"$help" || fail "installed relvane-cli --help"

[ "$failures" -eq 0 ] || exit 1
echo "installed files OK"
