#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks that every file is where it
# belongs and every manual page renders without a warning; then builds the .deb, checks
# its metadata, installs it into a private dpkg root, runs a tool from there, removes it
# and checks that nothing is left behind. Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$work/dest" cmake --install "$build" --prefix /usr >/dev/null
expected=(
  usr/bin/kestrow usr/bin/morvish usr/bin/supply-sim
  usr/share/man/man1/kestrow.1 usr/share/man/man1/morvish.1 usr/share/man/man1/supply-sim.1
  usr/lib/udev/rules.d/70-dimlink-power-supply.rules
  usr/share/doc/dimlink/README.md
)
for file in "${expected[@]}"; do [ -f "$work/dest/$file" ] || fail "$file not installed"; done
for tool in kestrow morvish supply-sim; do [ -x "$work/dest/usr/bin/$tool" ] || fail "$tool not executable"; done
installed=$(cd "$work/dest" && find . -type f | sed 's|^\./||' | sort)
[ "$installed" = "$(printf '%s\n' "${expected[@]}" | sort)" ] || fail "unexpected files installed: $installed"
grep -q 'ATTRS{idVendor}=="0483", ATTRS{idProduct}=="5750", TAG+="uaccess"' \
  "$work/dest/usr/lib/udev/rules.d/70-dimlink-power-supply.rules" || fail "udev rule does not name the supply"

for page in "$work"/dest/usr/share/man/man1/*.1; do
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >"$work/page.txt" 2>"$work/warnings.txt"
  [ ! -s "$work/warnings.txt" ] || fail "$(basename "$page") renders with warnings: $(cat "$work/warnings.txt")"
  grep -q 'EXIT STATUS' "$work/page.txt" || fail "$(basename "$page") has no EXIT STATUS"
  lexgrog "$page" >/dev/null || fail "$(basename "$page") has no usable NAME section"
done
[ "$("$work/dest/usr/bin/morvish" --version | head -n 1)" = "morvish $(sed -n 's/^project(dimlink VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")" ] ||
  fail "installed morvish does not give its version"

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/packages" >/dev/null
deb=$(ls "$work"/packages/dimlink_*_amd64.deb)
info=$(dpkg-deb -I "$deb")
for field in 'Package: dimlink' 'Architecture: amd64' 'Section: utils' 'Depends: .*libc6' 'Maintainer: ' 'Description: '; do
  grep -q "^ $field" <<<"$info" || fail ".deb metadata lacks \"$field\""
done
[ "$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||' | sort)" = "$(printf '%s\n' "${expected[@]}" | sort)" ] ||
  fail ".deb does not hold exactly the installed files"

# A private dpkg database: the machine's own is never touched.
root="$work/root"
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers}
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends -i "$deb" >/dev/null 2>&1 || fail "dpkg -i failed"
"$root/usr/bin/kestrow" --version | grep -q '^kestrow ' || fail "kestrow --version fails after dpkg -i"
dpkg --root="$root" -r dimlink >/dev/null 2>&1 || fail "dpkg -r failed"
left=$(find "$root" -mindepth 1 -not -path "$root/var" -not -path "$root/var/*" -not -type d)
[ -z "$left" ] || fail "left behind after removal: $left"
echo "install, manual pages and package: ok"
