#!/bin/bash
# Builds the Debian packages of BUILD_DIR with cpack, as `make package` does,
# and checks them as their users meet them:
#   - each package's metadata: Depends computed from what the binaries link,
#     the exact version between the project's own packages, the shlibs file
#     and ldconfig trigger of the runtime package, copyright and changelog;
#   - no file in two packages, no RUNPATH in any binary, the manual page;
#   - every package unpacked with dpkg-deb -x into one scratch root, the
#     example host (examples/host) built through find_package and through
#     pkg-config against that root only, and run against the unpacked
#     libraries and the unpacked norvctl serving its data; norvctl demo
#     runs from the root;
#   - lintian reports no error on any package.
#
#   check_debian_packages.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
build_dir=$1 source_dir=$2 work=$3

fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cpack --config "$build_dir/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"

declare -A deb
for name in libnorv-interop0 libnorv-interop-dev norvctl python3-norv-interop; do
  found=("$work/packages/${name}_"*.deb)
  [ -f "${found[0]}" ] && [ ${#found[@]} -eq 1 ] ||
    fail "expected one package $name, found: $(ls "$work/packages")"
  deb[$name]=${found[0]}
done
all=("$work/packages/"*.deb)
[ ${#all[@]} -eq 4 ] || fail "expected four packages, found: $(ls "$work/packages")"
echo "packages:"
for name in "${!deb[@]}"; do
  echo "  $(basename "${deb[$name]}") $(stat -c %s "${deb[$name]}") bytes"
  echo "    Depends: $(dpkg-deb -f "${deb[$name]}" Depends)"
done

field() { dpkg-deb -f "${deb[$1]}" "$2"; }
depends_on() {  # depends_on DEPENDS PACKAGE: the Depends value names PACKAGE
  local names
  names=$(sed -E 's/\([^)]*\)//g; s/[[:space:]]//g' <<<"$1" | tr ',|' '\n\n')
  grep -qxF -- "$2" <<<"$names"
}

# Versions: the upstream part is the project's, the same in all three.
version=$(field libnorv-interop0 Version)
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[[ $version == "$project_version"-* ]] ||
  fail "package version $version does not carry the project version $project_version"
for name in libnorv-interop-dev norvctl python3-norv-interop; do
  [ "$(field "$name" Version)" = "$version" ] || fail "$name has version $(field "$name" Version)"
done
for name in "${!deb[@]}"; do
  for key in Maintainer Description Section Priority Architecture; do
    [ -n "$(field "$name" "$key")" ] || fail "$name has no $key field"
  done
done

# Unpack everything into one scratch root, as dpkg would install it.
root=$work/root
for name in "${!deb[@]}"; do dpkg-deb -x "${deb[$name]}" "$root"; done
libdir=$root/usr/lib
[ -f "$libdir/libnorv-interop.so.0" ] && [ -f "$libdir/libnorv-platform.so.0" ] ||
  fail "the runtime libraries are not in /usr/lib: $(dpkg-deb -c "${deb[libnorv-interop0]}")"

# No path belongs to two packages (dpkg would refuse to install the second),
# and each package holds what it is for.
declare -A owner
for name in "${!deb[@]}"; do
  while read -r path; do
    [ -z "${owner[$path]:-}" ] || fail "$path is in both ${owner[$path]} and $name"
    owner[$path]=$name
  done < <(dpkg-deb --fsys-tarfile "${deb[$name]}" | tar -t | grep -v '/$')
done
expect_owner() {  # expect_owner PACKAGE PATH
  [ "${owner[$2]:-}" = "$1" ] || fail "$2 should be in $1, is in: ${owner[$2]:-no package}"
}
expect_owner libnorv-interop0 ./usr/lib/libnorv-interop.so.0
expect_owner libnorv-interop0 ./usr/lib/libnorv-platform.so.0
expect_owner libnorv-interop-dev ./usr/lib/libnorv-interop.so
expect_owner libnorv-interop-dev ./usr/lib/libnorv-platform.so
expect_owner libnorv-interop-dev ./usr/include/norv/interop.h
expect_owner libnorv-interop-dev ./usr/include/norv/platform.h
expect_owner libnorv-interop-dev ./usr/lib/cmake/NorvInterop/NorvInteropConfig.cmake
expect_owner libnorv-interop-dev ./usr/lib/pkgconfig/norv-interop.pc
expect_owner libnorv-interop-dev ./usr/lib/pkgconfig/norv-platform.pc
expect_owner libnorv-interop-dev ./usr/share/norv-interop/proto/norv/contracts/v1/shutdown.proto
expect_owner norvctl ./usr/bin/norvctl
expect_owner norvctl ./usr/bin/norv-companion-demo
expect_owner norvctl ./usr/share/man/man1/norvctl.1.gz
expect_owner norvctl ./usr/share/man/man1/norv-companion-demo.1.gz
for name in "${!deb[@]}"; do
  expect_owner "$name" "./usr/share/doc/$name/copyright"
  expect_owner "$name" "./usr/share/doc/$name/changelog.Debian.gz"
  changelog=$(zcat "$root/usr/share/doc/$name/changelog.Debian.gz")
  [[ ${changelog%%$'\n'*} == "norv-interop ($version) "* ]] ||
    fail "the changelog of $name does not begin with version $version: ${changelog%%$'\n'*}"
done

# The binaries are found by the dynamic loader's own search path: none
# carries a RUNPATH (or the older RPATH).
while read -r file; do
  if grep -qE '\((RUNPATH|RPATH)\)' <<<"$(readelf -d "$file")"; then
    fail "$file carries a library search path: $(readelf -d "$file" | grep -E 'RUNPATH|RPATH')"
  fi
done < <(find "$root" -type f \( -name '*.so*' -o -path '*/bin/*' \))

# Depends of the runtime package and of norvctl name a package for every
# Debian library their binaries link (computed, not written by hand), and
# the packages of this project at the exact version.
check_computed_depends() {  # check_computed_depends PACKAGE FILE...
  local name=$1 depends needed owners
  shift
  depends=$(field "$name" Depends)
  for needed in $(readelf -d "$@" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u); do
    [[ $needed == libnorv-* ]] && continue
    owners=$(dpkg-query -S "*/$needed" 2>/dev/null | cut -d: -f1 | tr -s ', ' '\n' | sort -u)
    [ -n "$owners" ] || fail "no Debian package holds $needed, which $name links"
    local covered=""
    for package in $owners; do depends_on "$depends" "$package" && covered=$package; done
    [ -n "$covered" ] || fail "$name links $needed ($owners) but depends on: $depends"
  done
  grep -qE '(^|, )libc6 \(>= [0-9.]+\)' <<<"$depends" ||
    fail "$name has no versioned dependency on libc6: $depends"
}
check_computed_depends libnorv-interop0 "$libdir/libnorv-interop.so.0" "$libdir/libnorv-platform.so.0"
check_computed_depends norvctl "$root/usr/bin/norvctl" "$root/usr/bin/norv-companion-demo"
exact="libnorv-interop0 (= $version)"
[ "$(field libnorv-interop-dev Depends)" = "$exact" ] ||
  fail "libnorv-interop-dev should depend on \"$exact\" only: $(field libnorv-interop-dev Depends)"
grep -qF "$exact" <<<"$(field norvctl Depends)" ||
  fail "norvctl should depend on \"$exact\": $(field norvctl Depends)"
! depends_on "$(field libnorv-interop0 Depends)" libnorv-interop0 ||
  fail "the runtime package depends on itself"

# The runtime package tells dpkg-shlibdeps what programs built on it need,
# and has dpkg run ldconfig.
control=$work/control
dpkg-deb -e "${deb[libnorv-interop0]}" "$control"
for lib in libnorv-interop libnorv-platform; do
  grep -qxF "$lib 0 $exact" "$control/shlibs" || fail "shlibs lacks $lib: $(cat "$control/shlibs")"
done
grep -qx 'activate-noawait ldconfig' "$control/triggers" || fail "no ldconfig trigger"

# norvctl runs from the scratch root, its demo finding the companion tool
# beside it, and has its manual page.
export LD_LIBRARY_PATH=$libdir
[ "$("$root/usr/bin/norvctl" --version)" = "norvctl $project_version" ] ||
  fail "norvctl --version: $("$root/usr/bin/norvctl" --version 2>&1)"
"$root/usr/bin/norvctl" demo >"$work/demo.log" 2>&1 || fail "norvctl demo: $(cat "$work/demo.log")"
companion=$(grep '^  companion tool' "$work/demo.log" || true)
grep -qF " $(realpath "$root")/usr/bin/norv-companion-demo" <<<"$companion" ||
  fail "norvctl demo did not use the unpacked companion tool: $companion"
# The page lists every command (from --help-all), not only the areas.
manual=$(zcat "$root/usr/share/man/man1/norvctl.1.gz")
for text in '.TH NORVCTL "1"' '.SH SYNOPSIS' 'serve data\-service' 'shutdown subscribe' \
  'endpoints' '.SH ENVIRONMENT' '.SH "SEE ALSO"'; do
  grep -qF -- "$text" <<<"$manual" || fail "the manual page lacks \"$text\""
done

# The example host through find_package, with nothing but the scratch root
# to find; the package's CMake files must point into the root they are in.
cmake -S "$source_dir/examples/host" -B "$work/host-cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$root/usr" >"$work/host-cmake.log" 2>&1 ||
  fail "configuring examples/host: $(cat "$work/host-cmake.log")"
config_dir=$(sed -n 's/^NorvInterop_DIR:PATH=//p' "$work/host-cmake/CMakeCache.txt")
[ "$config_dir" = "$root/usr/lib/cmake/NorvInterop" ] ||
  fail "find_package found NorvInterop in $config_dir"
cmake --build "$work/host-cmake" >>"$work/host-cmake.log" 2>&1 ||
  fail "building examples/host: $(cat "$work/host-cmake.log")"

# And through pkg-config, seeing only the scratch root's .pc files. No
# rpath: the libraries are found through LD_LIBRARY_PATH, as in /usr/lib.
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
unset PKG_CONFIG_PATH
flags=$(pkg-config --cflags --libs norv-interop) || fail "pkg-config does not know norv-interop"
# shellcheck disable=SC2086
c++ -std=c++17 "$source_dir/examples/host/main.cc" -o "$work/host-pc" $flags ||
  fail "building examples/host with: $flags"
protodir=$(pkg-config --variable=protodir norv-platform)
[ -f "$protodir/norv/contracts/v1/shutdown.proto" ] || fail "norv-platform's protodir: $protodir"

for example in "$work/host-cmake/norv-host-example" "$work/host-pc"; do
  loaded=$(ldd "$example" | grep -E 'libnorv-(interop|platform)\.so')
  [ "$(grep -c "=> $libdir/" <<<"$loaded")" -eq 2 ] ||
    fail "$example does not load the unpacked libraries: $loaded"
  bash "$source_dir/tests/support/check_host_example.sh" "$root/usr/bin/norvctl" "$example" \
    "$work/run-$(basename "$example")"
done
unset LD_LIBRARY_PATH

# lintian: warnings are allowed, errors are not.
if ! command -v lintian >/dev/null; then
  echo "SKIPPED: every check passed but lintian, which is not installed (make deps installs it)"
  exit 77
fi
errors=0
for name in "${!deb[@]}"; do
  report=$(lintian --tag-display-limit 0 "${deb[$name]}" 2>&1) || true
  echo "lintian $name:"
  sed 's/^/  /' <<<"${report:-(nothing to report)}"
  if grep -q '^E: ' <<<"$report"; then errors=1; fi
done
[ $errors -eq 0 ] || fail "lintian reports errors (above)"
echo "debian packages ok"
