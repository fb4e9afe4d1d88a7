#!/usr/bin/env bash
# The Debian package (natd's own addition): cpack builds it from the build
# folder of the natd given; dpkg installs it into a scratch root (its own
# package database; the machine's own is not touched) with both programs,
# the man pages, the systemd unit (clean for systemd-analyze verify), its
# settings file as a conffile and the sample configuration; purging it
# leaves no file behind.
#
# Usage: bash test_package.sh /path/to/build/natd   (as root)
set -u
fail() { echo "FAIL: $*" >&2; exit 1; }
BUILD=$(cd "$(dirname "${1:?natd path}")" && pwd)
TMP=$(mktemp -d /tmp/natd-package.XXXXXX)
trap 'rm -rf "$TMP"' EXIT

(cd "$BUILD" && cpack -G DEB -B "$TMP/out" >"$TMP/cpack.log" 2>&1) || fail "cpack: $(tail "$TMP/cpack.log")"
deb=$(ls "$TMP"/out/natd_*.deb)
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$BUILD/CMakeCache.txt")
etc=$([ "$prefix" = /usr ] && echo /etc || echo "$prefix/etc")

ROOT="$TMP/root"
mkdir -p "$ROOT"/var/lib/dpkg/{info,updates,triggers} && touch "$ROOT/var/lib/dpkg/status"
dpkg --root="$ROOT" --force-depends -i "$deb" >"$TMP/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$TMP/dpkg.log")"
ls "$ROOT$prefix"/share/man/man{8/natd.8,1/natctl.1,5/nat.conf.5} >/dev/null || fail "man pages"
[ "$(cat "$ROOT/var/lib/dpkg/info/natd.conffiles")" = "$etc/default/natd" ] || fail "conffile"
"$ROOT$prefix/sbin/natd" -h | grep -q '^Usage: natd' && "$ROOT$prefix/bin/natctl" --help | grep -q '^Usage: natctl' ||
  fail "installed programs do not run"
grep -q '^device = tap:natd0$' "$ROOT$prefix/share/doc/natd/nat.conf.sample" || fail "sample configuration"
unit="$ROOT$prefix/lib/systemd/system/natd.service"
sed "s|^ExecStart=$prefix|ExecStart=$ROOT$prefix|" "$unit" >"$TMP/natd.service"
out=$(systemd-analyze verify --man=no "$TMP/natd.service" 2>&1) && [ -z "$out" ] || fail "systemd-analyze: $out"
echo "PASS: installed $(basename "$deb") under $prefix, unit verified"

dpkg --root="$ROOT" -P natd >"$TMP/dpkg.log" 2>&1 || fail "dpkg -P: $(cat "$TMP/dpkg.log")"
left=$(find "$ROOT" -type f ! -path "$ROOT/var/lib/dpkg/*")
[ -z "$left" ] || fail "files left after purge: $left"
echo "PASS: purged cleanly"
