#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree and checks it as
# a user would get it: its files and their modes, its dependencies (those of
# the engine carried inside Vellum included), lintian's verdict, and the
# programs run from the unpacked package.
#
# usage: check_package.sh BUILD_DIR EXPECTED_FILES ENGINE
set -euo pipefail

build=$1
expected=$2
engine=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The package. cpack installs the built tree; it builds nothing.
cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }
debs=("$tmp"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: cpack made ${#debs[@]} packages" >&2; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

# Files (not folders), with their modes and owners.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $1, $2, $6 }' | sort >"$tmp/files"
if ! diff -u <(grep -v '^#' "$expected" | sort) "$tmp/files"; then
  fail "the package's files differ from $expected (- expected, + packaged)"
fi
if dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")' | grep .; then
  fail "folders above are not root's with mode 0755"
fi

# Dependencies: the fixed ones, and every package the engine's libraries
# come from, although the engine is only data inside Vellum.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(tr ',' '\n' <<<"$depends" | sed -E 's/^ *([^ (]+).*/\1/' | sort -u)
mkdir -p "$tmp/shlibs/debian" && : >"$tmp/shlibs/debian/control"
engine_deps=$(cd "$tmp/shlibs" && dpkg-shlibdeps -O "$engine" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$engine_deps" ] || fail "dpkg-shlibdeps found no dependencies of $engine"
for pkg in python3-libtorrent fonts-arphic-gbsn00lp xdg-utils \
  $(tr ',' '\n' <<<"$engine_deps" | sed -E 's/^ *([^ (]+).*/\1/'); do
  grep -qx "$pkg" <<<"$names" || fail "Depends lacks $pkg"
done

# lintian: no errors and no warnings.
if ! lintian --fail-on error,warning "$deb" >"$tmp/lintian" 2>&1; then
  cat "$tmp/lintian" >&2
  fail "lintian"
fi

# The unpacked programs. Each gets a runtime folder of its own, so that a
# lock or an engine copy of another run cannot interfere.
root=$tmp/root
dpkg-deb -x "$deb" "$root"
mkdir -m 0700 "$tmp/run"
run() {
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$tmp/run" timeout 60 "$@" </dev/null
}

# The updater without arguments refuses, with its built-in strings.
set +e
run env KORVEL_UI=console "$root/usr/bin/korvel" >"$tmp/korvel.out" 2>&1
rc=$?
set -e
if [ $rc -ne 0 ] || ! grep -q '请运行zorn.exe!' "$tmp/korvel.out"; then
  cat "$tmp/korvel.out" >&2
  fail "korvel without arguments: exit $rc, expected 0 and its refusal"
fi

# The repair tool explains itself and ends when no folder is given.
set +e
run env VELLUM_UI=console VELLUM_ANSWERS=ok,no "$root/usr/bin/Vellum" >"$tmp/vellum.out" 2>&1
rc=$?
set -e
if [ $rc -ne 0 ] || ! grep -q '客户端修复工具' "$tmp/vellum.out"; then
  cat "$tmp/vellum.out" >&2
  fail "Vellum without a folder: exit $rc, expected 0 and its title"
fi

set +e
run "$root/usr/bin/zrpatch" --help >"$tmp/zrpatch.out" 2>&1
rc=$?
set -e
if [ $rc -ne 0 ] || ! head -n 1 "$tmp/zrpatch.out" | grep -qx 'usage: zrpatch COMMAND \[OPTIONS\]'; then
  cat "$tmp/zrpatch.out" >&2
  fail "zrpatch --help: exit $rc"
fi

# The menu entry (lintian checks the manual pages).
desktop-file-validate "$root/usr/share/applications/Vellum.desktop" || fail "desktop-file-validate"

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "package checks passed"
