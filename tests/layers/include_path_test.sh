#!/usr/bin/env bash
# What the include path of a bridge (or of the conversion rules), as the
# build gives it, reaches: services/, conversion/, base/, the exported
# headers and the folder's own headers compile; platform/, the generated contract code,
# another bridge and the reference services are not found, although they
# exist.
# Usage: include_path_test.sh CXX "DIR:DIR:..." SOURCE_DIR GENERATED_DIR FOLDER
set -euo pipefail
cxx=$1 source_dir=$3 generated_dir=$4 folder=$5
IFS=':' read -r -a dirs <<<"$2"
flags=(-std=c++20 -fsyntax-only)
for d in "${dirs[@]}"; do
  [[ -z $d ]] || flags+=("-I$d")
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Compiles a file that includes each HEADER, outside the tree.
compiles() {
  printf '#include "%s"\n' "$@" >"$work/probe.cc"
  "$cxx" "${flags[@]}" "$work/probe.cc" 2>"$work/errors"
}

mapfile -t own_headers < <(cd "$source_dir" && { compgen -G "$folder/*.h" || true; })
if ! compiles services/NamedPipeServiceHost.h conversion/Conversion.h norv/interop.h \
  base/Mutex.h base/NoDestructor.h "${own_headers[@]}"; then
  fail "what $folder/ may include does not compile with its include path:"
  cat "$work/errors"
fi

for header in platform/base/UniqueFd.h platform/pipes/Runtime.h \
  norv/contracts/v1/shutdown.pb.h norv/contracts/v1/data_service.grpc.pb.h \
  servers/dataservice/Sqlite.h shutdown/ShutdownImpl.h launcher/ApplicationLauncher.h; do
  [[ ${header%%/*} != "$folder" ]] || continue
  if [[ ! -f $source_dir/$header && ! -f $generated_dir/$header ]]; then
    fail "$header does not exist, so its absence proves nothing"
  elif compiles "$header"; then
    fail "$folder/ reaches $header"
  elif ! grep -q -E "$header('|: No such file| file not found)" "$work/errors"; then
    fail "$header failed to compile for another reason than not being found:"; cat "$work/errors"
  fi
done

if ((failures > 0)); then
  echo "$failures case(s) failed; include path: ${dirs[*]}"
  exit 1
fi
echo "$folder/: include path as expected"
