#!/bin/bash
# Builds the Debian packages of BUILD_DIR with cpack, as `make package` does,
# and checks them as their users meet them:
#   - each package's metadata: Depends computed from what the binaries link,
#     the exact version between the project's own packages, the shlibs file
#     and ldconfig trigger of the runtime package, copyright and changelog;
#   - no file in two packages, no RUNPATH in any binary, the manual pages;
#   - Debian's layout: the libraries in /usr/lib/<multiarch triplet>, the
#     pkg-config files naming /usr with clean paths and a protodir each;
#   - every package unpacked with dpkg-deb -x into one scratch root, and
#     every installed example (/usr/share/doc/libnorv-interop-dev/examples)
#     built against that root only and run against the unpacked libraries
#     and norvctl: the host (also through pkg-config), the C++ data service,
#     plain gRPC stubs beside a bridge call in one process, and in Python a
#     data service and a shutdown client on stubs generated as the manual
#     page says; norvctl demo runs from the root;
#   - every path of the packages that an installed header, manual page,
#     contract or document names exists in them, and every link between
#     the installed documents resolves;
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
triplet=$(sed -n 's/^CMAKE_LIBRARY_ARCHITECTURE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
[ -n "$triplet" ] || triplet=$(gcc -print-multiarch)
lib=usr/lib/$triplet
libdir=$root/$lib
for so in libnorv-interop libnorv-platform libnorv-contracts; do
  [ -f "$libdir/$so.so.0" ] ||
    fail "$so.so.0 is not in /$lib: $(dpkg-deb -c "${deb[libnorv-interop0]}")"
done
doc=usr/share/doc/libnorv-interop-dev

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
for so in libnorv-interop libnorv-platform libnorv-contracts; do
  expect_owner libnorv-interop0 "./$lib/$so.so.0"
  expect_owner libnorv-interop-dev "./$lib/$so.so"
done
for pc in norv-interop norv-platform norv-contracts; do
  expect_owner libnorv-interop-dev "./$lib/pkgconfig/$pc.pc"
done
expect_owner libnorv-interop-dev ./usr/include/norv/interop.h
expect_owner libnorv-interop-dev ./usr/include/norv/platform.h
expect_owner libnorv-interop-dev ./usr/include/norv/contracts/v1/types.pb.h
expect_owner libnorv-interop-dev ./usr/include/norv/contracts/v1/shutdown.grpc.pb.h
expect_owner libnorv-interop-dev "./$lib/cmake/NorvInterop/NorvInteropConfig.cmake"
expect_owner libnorv-interop-dev ./usr/share/norv-interop/proto/norv/contracts/v1/shutdown.proto
expect_owner libnorv-interop-dev ./usr/share/norv-interop/proto/norv/contracts/v1/introspection.proto
expect_owner libnorv-interop-dev ./usr/share/man/man7/norv-interop.7.gz
for page in guide addressing protocol architecture; do
  expect_owner libnorv-interop-dev "./$doc/$page.md"
  expect_owner libnorv-interop-dev "./$doc/$page.html"
done
for example in CMakeLists.txt host/main.cc data-service/main.cc grpc-stubs/main.cc \
  python/data_service.py python/shutdown_client.py; do
  expect_owner libnorv-interop-dev "./$doc/examples/$example"
done
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
check_computed_depends libnorv-interop0 "$libdir/libnorv-interop.so.0" \
  "$libdir/libnorv-platform.so.0" "$libdir/libnorv-contracts.so.0"
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
for so in libnorv-interop libnorv-platform libnorv-contracts; do
  grep -qxF "$so 0 $exact" "$control/shlibs" || fail "shlibs lacks $so: $(cat "$control/shlibs")"
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

# norv-interop(7) covers what a peer in another language needs, and
# norvctl.1 points to the installed documents, not to a source tree.
manual7=$(zcat "$root/usr/share/man/man7/norv-interop.7.gz")
for text in '.TH NORV-INTEROP 7' '.SH ADDRESSING' '.SH THE LOCK' 'LOCK_EX|LOCK_NB' \
  'Null versus empty' '.B Dates' '.SH FAULTS' '.SH THE DUPLEX SESSION' 'grpc_python_plugin' \
  "protobuf $(pkg-config --modversion protobuf)"; do
  grep -qF -- "$text" <<<"$manual7" || fail "norv-interop(7) lacks \"$text\""
done
grep -qF 'norv-interop (7)' <<<"$manual" || fail "norvctl.1 does not point to norv-interop(7)"

# The pkg-config files name /usr, so that pkg-config prints clean paths
# (none at all for the system's directories), and each names the contracts.
# The root's files come first; the system's give gRPC's and protobuf's.
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig:$(pkg-config --variable pc_path pkg-config)
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR
for pc in norv-interop norv-platform norv-contracts; do
  [ "$(pkg-config --variable=prefix "$pc")" = /usr ] ||
    fail "$pc.pc has prefix $(pkg-config --variable=prefix "$pc")"
  [ "$(pkg-config --variable=protodir "$pc")" = /usr/share/norv-interop/proto ] ||
    fail "$pc.pc has protodir \"$(pkg-config --variable=protodir "$pc")\""
  flags=$(pkg-config --cflags --libs "$pc") || fail "pkg-config does not know $pc"
  [[ $flags != *..* && $flags != *pkgconfig* ]] || fail "pkg-config prints for $pc: $flags"
done
[ "$(pkg-config --libs norv-interop | xargs)" = -lnorv-interop ] ||
  fail "pkg-config --libs norv-interop: $(pkg-config --libs norv-interop)"

# Every path of the packages named in an installed header, manual page,
# contract or document exists in them (a path under /usr that names norv),
# none of them points into a source tree (docs/x.md), and every relative
# link of the installed documents resolves.
while read -r file; do
  case $file in
    *.gz) text=$(zcat "$file" | sed 's/\\-/-/g; s/\\e/\\/g; s/\\f[BIRP]//g') ;;
    *) text=$(cat "$file") ;;
  esac
  while read -r path; do
    path=${path%%[.,:;)]}
    [[ $path == *norv* && $path != *[\<\{\*\$]* ]] || continue
    [ -e "$root$path" ] || fail "${file#"$root"} names $path, which no package holds"
  done < <(grep -oE '/usr/[A-Za-z0-9_.+/{}<>*$-]*' <<<"$text" | sort -u)
  if source_path=$(grep -oE '(^|[^/A-Za-z.-])docs/[A-Za-z-]+\.md' <<<"$text"); then
    fail "${file#"$root"} points into the source tree: $(head -1 <<<"$source_path")"
  fi
  case $file in
    # Code blocks hold C++ such as `[](Type name)`, which only looks like a link.
    *.md) links=$({ awk '/^ *```/ { code = !code; next } !code' <<<"$text" |
      grep -oE '\]\([^)#:]+' || true; } | cut -c3-) ;;
    *.html) links=$({ grep -oE 'href="[^"#:]+' <<<"$text" || true; } | cut -c7-) ;;
    *) links= ;;
  esac
  for link in $links; do
    [ -e "$(dirname "$file")/$link" ] || fail "${file#"$root"} links to $link, which is missing"
  done
done < <(find "$root/usr/include" "$root/usr/share/man" "$root/usr/share/norv-interop" \
  "$root/$doc" -type f \( -name '*.h' -o -name '*.gz' -o -name '*.proto' -o -name '*.md' \
  -o -name '*.html' \) ! -name 'changelog*')

# The installed examples, built together from the scratch root with
# nothing else to find; the package's CMake files must point into the root
# they are in.
examples=$root/$doc/examples
cmake -S "$examples" -B "$work/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$root/usr" >"$work/examples.log" 2>&1 ||
  fail "configuring the examples: $(cat "$work/examples.log")"
config_dir=$(sed -n 's/^NorvInterop_DIR:PATH=//p' "$work/examples/CMakeCache.txt")
[ "$config_dir" = "$libdir/cmake/NorvInterop" ] || fail "find_package found NorvInterop in $config_dir"
cmake --build "$work/examples" -j2 >>"$work/examples.log" 2>&1 ||
  fail "building the examples: $(cat "$work/examples.log")"

# The host through pkg-config too, seeing only the scratch root's .pc files
# (pkg-config puts the root before each path). No rpath: the libraries are
# found through LD_LIBRARY_PATH, as in /usr/lib/<triplet>.
flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 \
  PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 pkg-config --cflags --libs norv-interop)
# shellcheck disable=SC2086
c++ -std=c++17 "$examples/host/main.cc" -o "$work/host-pc" $flags ||
  fail "building examples/host with: $flags"

export LD_LIBRARY_PATH=$libdir
for example in "$work/examples/host/norv-host-example" "$work/host-pc"; do
  loaded=$(ldd "$example" | grep -E 'libnorv-(interop|platform|contracts)\.so')
  [ "$(grep -c "=> $libdir/" <<<"$loaded")" -eq 3 ] ||
    fail "$example does not load the unpacked libraries: $loaded"
  bash "$source_dir/tests/support/check_host_example.sh" "$root/usr/bin/norvctl" "$example" \
    "$work/run-$(basename "$example")"
done

# The data services, C++ and Python, answer the bridge (norvctl data) with
# a list holding a null name, a civil date, and a fault with their own text.
export NORV_PIPE_DIR LC_ALL=C
NORV_PIPE_DIR=$(mktemp -d /tmp/norv-pkg-XXXXXX)
unset NORV_ANSI_CODEPAGE NORV_SHORT_DATE_PATTERN
norvctl=$root/usr/bin/norvctl
check_data_service() {  # check_data_service LOG COMMAND...: serves until SIGTERM
  local log=$1 server pid
  shift
  "$@" >"$log" 2>&1 &
  server=$!
  for _ in $(seq 600); do
    grep -q '^serving' "$log" && break
    kill -0 "$server" 2>/dev/null || fail "$* ended: $(cat "$log")"
    sleep 0.05
  done
  pid=$(sed -n 's/^serving: process \([0-9]*\),.*/\1/p' "$log")
  [ "$pid" = "$server" ] || { kill "$server"; fail "$* did not start: $(cat "$log")"; }
  query() { echo secret | "$norvctl" data "$1" --pid "$pid" --project "$2" --user admin \
    --password-stdin --json "${@:3}" 2>&1; }
  local authors life fault
  authors=$(query authors north) && life=$(query forecast-life north --borehole 7 \
    --template t --author a) || true
  fault=$(query is-admin south) && fault="answered: $fault"
  kill -TERM "$server"
  wait "$server" || fail "$* stopped with status $?: $(cat "$log")"
  [ "$authors" = '["Amara Okafor", "", "Jon Berg"]' ] || fail "$*: authors: $authors"
  [ "$life" = '"3/7/2011"' ] || fail "$*: forecast-life: $life"
  grep -qF 'project south is not served here' <<<"$fault" || fail "$*: the fault: $fault"
}
check_data_service "$work/data-service.log" "$work/examples/data-service/norv-data-service-example"

# Plain gRPC stubs of the contracts and a bridge call in one process.
"$work/examples/grpc-stubs/norv-grpc-stubs-example" >"$work/grpc-stubs.log" 2>&1 ||
  fail "the plain gRPC example: $(cat "$work/grpc-stubs.log")"
grep -qx 'grpc stubs example ok' "$work/grpc-stubs.log" ||
  fail "the plain gRPC example: $(cat "$work/grpc-stubs.log")"

# Python stubs, generated by the command norv-interop(7) gives, from the
# unpacked contracts.
stubs=$work/python-stubs
mkdir -p "$stubs"
(cd "$root/usr/share/norv-interop/proto" &&
  protoc -I . --python_out="$stubs" --grpc_python_out="$stubs" \
    --plugin=protoc-gen-grpc_python=/usr/bin/grpc_python_plugin norv/contracts/v1/*.proto) ||
  fail "protoc could not generate the Python stubs"
check_data_service "$work/python-data-service.log" \
  /usr/bin/python3 "$examples/python/data_service.py" "$stubs"

# The Python shutdown client under norvctl's shutdown host: it refuses the
# first request, agrees to the second, and leaves when forced.
coproc host { "$norvctl" shutdown host --until-stdin-closes 2>&1; }
ask() {  # ask COMMAND EXPECTED: one command to the host, one line back
  local answer
  echo "$1" >&"${host[1]}"
  read -r -t 30 answer <&"${host[0]}" || fail "the shutdown host did not answer \"$1\""
  [ "$answer" = "$2" ] || fail "the shutdown host answered \"$answer\" to \"$1\", expected \"$2\""
}
read -r -t 30 started <&"${host[0]}" || fail "the shutdown host did not start"
host_pid=${started#start: process }
/usr/bin/python3 "$examples/python/shutdown_client.py" "$stubs" "$host_pid" \
  >"$work/python-client.log" 2>&1 &
client=$!
for _ in $(seq 600); do
  grep -q '^subscribed' "$work/python-client.log" && break
  kill -0 "$client" 2>/dev/null || fail "the Python client ended: $(cat "$work/python-client.log")"
  sleep 0.05
done
ask request 'request: false'
ask request 'request: true'
ask force 'force: done'
wait "$client" || fail "the Python client: $(cat "$work/python-client.log")"
echo quit >&"${host[1]}"
wait "$host_PID" || fail "norvctl shutdown host ended with status $?"
grep -qx forced "$work/python-client.log" || fail "the Python client: $(cat "$work/python-client.log")"
rm -rf "$NORV_PIPE_DIR"
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
