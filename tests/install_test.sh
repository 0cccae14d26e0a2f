#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks that the library exports only
# its C functions and that a CMake project finds it; then builds the .deb packages, checks what each holds, has lintian
# judge them (manual pages that render with warnings among what it finds), installs them into a private dpkg root (with udev absent, stopped and
# running), removes them and checks that nothing is left behind; and, when the Windows
# tools were built, checks their version resources, the DLL's exports and the zip.
# Usage: install_test.sh BUILD_DIR [WINDOWS_BUILD_DIR]
set -euo pipefail
build=$1
windows=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
version=$(sed -n 's/^project(dimlink VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")

tools_files=(
  usr/bin/kestrow usr/bin/morvish
  usr/share/man/man1/kestrow.1.gz usr/share/man/man1/morvish.1.gz
  usr/lib/udev/rules.d/70-dimlink-power-supply.rules
  usr/share/doc/dimlink/README.md usr/share/doc/dimlink/copyright usr/share/doc/dimlink/changelog.gz
  $(cd "$(dirname "$0")/.." && ls docs/*.md | sed 's|^|usr/share/doc/dimlink/|')
)
sim_files=(
  usr/bin/supply-sim usr/share/man/man1/supply-sim.1.gz
  usr/share/doc/dimlink-sim/copyright usr/share/doc/dimlink-sim/changelog.gz
)
multiarch=usr/lib/$(gcc -print-multiarch)
lib_files=(
  "$multiarch/libdimlink.so.1" "$multiarch/libdimlink.so.1.$version" usr/share/lintian/overrides/libdimlink1
  usr/share/doc/libdimlink1/copyright usr/share/doc/libdimlink1/changelog.gz
)
dev_files=(
  usr/include/dimlink.h "$multiarch/libdimlink.so" "$multiarch/libdimlink.a" "$multiarch/pkgconfig/dimlink.pc"
  "$multiarch"/cmake/dimlink/dimlink-{config,config-version,targets,targets-CONFIG}.cmake usr/share/man/man3/dimlink.3.gz
  usr/share/doc/libdimlink-dev/copyright usr/share/doc/libdimlink-dev/changelog.gz
)
mqtt_files=(
  usr/bin/dimlink-mqtt usr/share/man/man8/dimlink-mqtt.8.gz lib/systemd/system/dimlink-mqtt.service
  etc/default/dimlink-mqtt usr/lib/udev/rules.d/71-dimlink-mqtt.rules
  usr/share/doc/dimlink-mqtt/copyright usr/share/doc/dimlink-mqtt/changelog.gz
)
python_files=(usr/lib/python3/dist-packages/dimlink/{__init__.py,_library.py,testing.py,py.typed}
              usr/lib/python3/dist-packages/pytest_dimlink.py
              usr/share/doc/python3-dimlink/{copyright,changelog.gz})
sorted() { printf '%s\n' "$@" | sort; }
DESTDIR="$work/dest" cmake --install "$build" --prefix /usr >/dev/null
grep -q 'ATTRS{idVendor}=="0483", ATTRS{idProduct}=="5750", TAG+="uaccess"' \
  "$work/dest/usr/lib/udev/rules.d/70-dimlink-power-supply.rules" || fail "udev rule does not name the supply"


# The library leaves only its C functions visible, and a CMake project finds it in the
# installed tree.
exported=$(nm -D --defined-only "$work/dest/$multiarch/libdimlink.so.1" | awk '$3 !~ /^dimlink_/ && $3 !~ /^DIMLINK_1\.[0-9]+$/')
[ -z "$exported" ] || fail "libdimlink.so.1 exports more than dimlink_*: $exported"
# Each function carries its release's version node, so a program that needs a newer one
# refuses to start on an older library.
unversioned=$(objdump -T "$work/dest/$multiarch/libdimlink.so.1" | awk '$NF ~ /^dimlink_/ && $(NF-1) !~ /^DIMLINK_1\.[0-9]+$/')
[ -z "$unversioned" ] || fail "libdimlink.so.1 exports functions without a version node: $unversioned"
[ "$(objdump -p "$work/dest/$multiarch/libdimlink.so.1" | awk '/SONAME/ {print $2}')" = libdimlink.so.1 ] ||
  fail "libdimlink.so.1 lacks its SONAME"
mkdir "$work/user"
printf '#include <dimlink.h>\nint main(void) { return dimlink_version()[0] == 0; }\n' >"$work/user/user.c"
printf 'cmake_minimum_required(VERSION 3.25)\nproject(user C)\nfind_package(dimlink 1.0 REQUIRED)\n%s\n%s\n' \
  'add_executable(user user.c)' 'target_link_libraries(user PRIVATE dimlink::dimlink)' >"$work/user/CMakeLists.txt"
# A sanitized library loads only into a program that starts the sanitizers' runtimes.
sanitized=$(grep -q 'DIMLINK_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" && echo -fsanitize=address,undefined || true)
cmake -S "$work/user" -B "$work/user/build" -DCMAKE_PREFIX_PATH="$work/dest/usr" -DCMAKE_C_FLAGS="$sanitized" >/dev/null &&
  cmake --build "$work/user/build" >/dev/null && LD_LIBRARY_PATH="$work/dest/$multiarch" "$work/user/build/user" ||
  fail "a CMake project cannot build and run with find_package(dimlink)"

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/packages" >/dev/null
deb() { echo "$work/packages/$1_${version}_$2.deb"; }
tools_deb=$(deb dimlink amd64) sim_deb=$(deb dimlink-sim amd64) lib_deb=$(deb libdimlink1 amd64)
dev_deb=$(deb libdimlink-dev amd64) python_deb=$(deb python3-dimlink all) mqtt_deb=$(deb dimlink-mqtt amd64)
lintian --fail-on error,warning "$work"/packages/*.deb >"$work/lintian.txt" 2>&1 ||
  fail "lintian: $(cat "$work/lintian.txt")"
info=$(dpkg-deb -I "$tools_deb")
# The tools link the C++ runtime in; a sanitizer build links its runtimes too.
[ -n "$sanitized" ] || grep -q '^ Depends: libc6 ([^,]*)$' <<<"$info" ||
  fail "dimlink depends on more than libc6: $(grep Depends <<<"$info")"
# The CMake package's per-configuration file is named for the build type.
contents() { dpkg-deb -c "$1" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||; s|-targets-[a-z]*\.|-targets-CONFIG.|' | sort; }
for kind in tools sim lib dev python mqtt; do
  package=${kind}_deb files=${kind}_files[@]
  [ "$(contents "${!package}")" = "$(sorted "${!files}")" ] || fail "$(basename "${!package}") holds: $(contents "${!package}")"
done
grep -q '^libdimlink 1 libdimlink1 ' <(dpkg-deb -I "$lib_deb" shlibs) || fail "libdimlink1 has no shlibs entry"
[ "$(dpkg-deb -I "$mqtt_deb" conffiles)" = /etc/default/dimlink-mqtt ] || fail "dimlink-mqtt's defaults are no conffile"
mqtt_depends=$(dpkg-deb -f "$mqtt_deb" Depends)
for needed in 'libdimlink1 (>= ' 'libmosquitto1' 'libsystemd0' 'adduser'; do
  grep -qF "$needed" <<<"$mqtt_depends" || fail "dimlink-mqtt depends on: $mqtt_depends"
done

# A private dpkg root, where the maintainer scripts run chrooted: a shell and no udev.
# The machine's own dpkg database is never touched.
root="$work/root"
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers}
touch "$root/var/lib/dpkg/status"
for file in /bin/sh /sbin/ldconfig $(ldd /bin/sh | grep -o '/[^ ]*'); do cp -L --parents "$file" "$root"; done
mkdir "$root/dev" "$root/etc" && mknod -m 666 "$root/dev/null" c 1 3 && touch "$root/etc/ld.so.cache"
before=$(find "$root" -not -path "$root/var/*" | sort)
dpkg_run() {
  dpkg --root="$root" --force-depends "$@" >"$work/dpkg.txt" 2>&1 || fail "dpkg $*: $(cat "$work/dpkg.txt")"
  ! grep -q '^dimlink:' "$work/dpkg.txt" || fail "dpkg $*: $(cat "$work/dpkg.txt")"
}
dpkg_run -i "$tools_deb" "$sim_deb" "$lib_deb" "$dev_deb"
"$root/usr/bin/kestrow" --version | grep -q '^kestrow ' || fail "kestrow --version fails after dpkg -i"
dpkg_run -r libdimlink-dev libdimlink1

# udev as the scripts see it: installed but not running, then running.
printf '#!/bin/sh\necho "$*" >>/udevadm.log\n[ ! -e /udev-down ]\n' >"$root/udevadm"
chmod +x "$root/udevadm"
udev_calls() { # EXPECTED_LOG DPKG_ARGS...: runs dpkg and checks what it asked of udev
  local expected=$1
  shift
  rm -f "$root/udevadm.log"
  PATH=/:$PATH dpkg_run "$@"
  [ "$(cat "$root/udevadm.log" 2>/dev/null)" = "$expected" ] || fail "dpkg $*: udevadm called with: $(cat "$root/udevadm.log")"
}
touch "$root/udev-down"
udev_calls 'control --ping' -i "$tools_deb"
rm "$root/udev-down"
udev_calls $'control --ping\ncontrol --reload-rules\ntrigger --subsystem-match=hidraw' -i "$tools_deb"
udev_calls $'control --ping\ncontrol --reload-rules' -r dimlink
rm "$root/udevadm" "$root/udevadm.log"
dpkg_run -r dimlink-sim
left=$(comm -13 <(echo "$before") <(find "$root" -not -path "$root/var/*" | sort))
[ -z "$left" ] || fail "left behind after removal: $left"

# The Python package: over libdimlink1, `import dimlink` needs no environment once both
# are installed; their /usr is laid over the machine's in a mount namespace of its own.
grep -q "^ Depends: libdimlink1 (= $version), python3\$" <<<"$(dpkg-deb -I "$python_deb")" || fail "python3-dimlink: $(dpkg-deb -I "$python_deb")"
dpkg_run -i "$lib_deb" "$python_deb"
# python3 has no sanitizers: a sanitized library needs their runtime loaded before it.
preload=()
[ -z "$sanitized" ] || preload=("LD_PRELOAD=$(gcc -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0)
imported=$(unshare -m sh -c 'mount -t overlay overlay -o "lowerdir=$0/usr:/usr" /usr &&
  env -i "$@" /usr/bin/python3 -c "import dimlink; print(dimlink.__version__)"' "$root" "${preload[@]}" 2>&1) ||
  fail "import dimlink: $imported"
[ "$imported" = "$version" ] || fail "import dimlink gives version $imported"
dpkg_run -r python3-dimlink libdimlink1
[ "$(find "$root" -not -path "$root/var/*" | sort)" = "$before" ] || fail "python3-dimlink leaves files behind"

if [ -n "$windows" ]; then
  # Each export at the ordinal the .def pins (the table counts from the base, 1).
  exports=$(x86_64-w64-mingw32-objdump -p "$windows/lib/dimlink.dll" |
    awk '/Ordinal\/Name Pointer/ {on=1; next} on && NF == 0 {on=0} on {print $3 " @" $2 + 1}' | sort)
  [ "$exports" = "$(sed -n 's/^  //p' "$(dirname "$0")/../lib/dimlink.def" | sort)" ] ||
    fail "dimlink.dll exports: $exports"
  for exe in "$windows/usb/kestrow.exe" "$windows/lan/morvish.exe" "$windows/lib/dimlink.dll"; do
    resource=$(x86_64-w64-mingw32-windres -i "$exe" -O rc)
    for value in "\"ProductName\", \"dimlink\"" "\"FileVersion\", \"$version\"" "\"FileDescription\", \".* the lighting power supply" \
      "\"LegalCopyright\", \"Copyright (c) 20[0-9][0-9] The dimlink developers. MIT License.\""; do
      grep -q "VALUE $value" <<<"$resource" || fail "$(basename "$exe") lacks $value in its version resource"
    done
  done
  cpack --config "$windows/CPackConfig.cmake" -B "$work/zip" >/dev/null
  mkdir "$work/unzipped" && (cd "$work/unzipped" && cmake -E tar xf "$work"/zip/*.zip)
  [ "$(LC_ALL=C ls "$work"/unzipped/* | tr '\n' ' ')" = \
    "Dimlink.Net.dll Dimlink.Net.xml Dimlink.cs LICENSE README.txt dimlink dimlink.def dimlink.dll dimlink.h docs kestrow.exe libdimlink.dll.a morvish.exe pytest_dimlink.py " ] ||
    fail "zip holds: $(ls "$work"/unzipped/*)"
  # Windows' file names are blind to case: no two files of the zip may be one there.
  [ -z "$(LC_ALL=C ls "$work"/unzipped/* | tr '[:upper:]' '[:lower:]' | sort | uniq -d)" ] ||
    fail "the zip holds names that differ only in case"
  [ "$(ls "$work"/unzipped/*/docs)" = "$(cd "$(dirname "$0")/../docs" && ls ./*.md | sed 's|^\./||')" ] ||
    fail "the zip's docs hold: $(ls "$work"/unzipped/*/docs)"
  [ "$(LC_ALL=C ls "$work"/unzipped/*/dimlink | tr '\n' ' ')" = "__init__.py _library.py py.typed testing.py " ] ||
    fail "the zip's Python package holds: $(ls "$work"/unzipped/*/dimlink)"
  head -n 1 "$work"/unzipped/*/README.txt | grep -q $'\r$' || fail "README.txt in the zip lacks Windows line ends"
fi
echo "install, manual pages, packages and version resources: ok"
