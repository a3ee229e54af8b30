#!/usr/bin/env bash
# scripts/check_layers.sh on small trees of its own: a tree that keeps every
# rule passes, and each kind of forbidden include, planted on a known line,
# fails the check with that file and line and the rule it breaks.
# Usage: check_layers_test.sh CHECK_LAYERS_SCRIPT
set -euo pipefail
check=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# A tree whose files include only what the layers allow.
make_clean_tree() {
  local t=$1
  mkdir -p "$t"/{services,conversion,base,dataservice,tdlist,launcher,shutdown,settings,platform/text}
  mkdir -p "$t"/include/norv/interop
  printf '#include <string>\n' >"$t/services/Text.h"
  printf '#include "Text.h"\n#include <vector>\n' >"$t/services/IThing.h"
  printf '#include "services/Text.h"\n#include <unicode/ustring.h>\n' >"$t/services/Text.cc"
  printf '#include <absl/base/thread_annotations.h>\n#include <mutex>\n' >"$t/base/Mutex.h"
  printf '#include "base/Mutex.h"\n' >"$t/base/Once.h"
  printf '#include "norv/interop/Thing.h"\n#include "services/Text.h"\n#include "base/Once.h"\n' \
    >"$t/conversion/Conversion.h"
  printf '#include "conversion/Conversion.h"\n#include <immintrin.h>\n' >"$t/conversion/Conversion.cc"
  for b in dataservice tdlist launcher shutdown settings; do
    printf '#include "%s/Own.h"\n\n#include <map>\n#include "base/Mutex.h"\n#include "conversion/Conversion.h"\n#include "norv/interop.h"\n#include "services/IThing.h"\n' \
      "$b" >"$t/$b/Bridge.cc"
    printf '#include "services/IThing.h"\n' >"$t/$b/Own.h"
  done
  printf '#include <cstdint>\n' >"$t/include/norv/interop/Thing.h"
  printf '#include "norv/interop/Thing.h"\n' >"$t/include/norv/interop.h"
  printf '#include "platform/Text.h"\n#include "platform/IThing.h"\n' >"$t/include/norv/platform.h"
  printf '#include <grpcpp/grpcpp.h>\n#include "platform/text/Internal.h"\n' >"$t/platform/text/Text.cc"
}

# expect_broken FILE INCLUDE RULE: FILE (from the root of the tree) gets
# INCLUDE on its line 3; the check must fail naming FILE:3 and RULE.
expect_broken() {
  local file=$1 include=$2 rule=$3 t out rc=0
  t=$(mktemp -d "$work/tree.XXXXXX")
  make_clean_tree "$t"
  mkdir -p "$(dirname "$t/$file")"
  printf '// A file.\n\n#include %s\n#include <string>\n' "$include" >"$t/$file"
  out=$(bash "$check" "$t" 2>&1) || rc=$?
  if [[ $rc -ne 1 ]]; then
    echo "FAIL: $file including $include: the check exited $rc, expected 1"; echo "$out"
    failures=$((failures + 1))
  elif ! grep -q -F "$file:3: #include $include: $rule" <<<"$out"; then
    echo "FAIL: $file including $include: expected \"$file:3: ...: $rule\" in:"; echo "$out"
    failures=$((failures + 1))
  elif [[ $(grep -c ': #include ' <<<"$out") -ne 1 ]]; then
    echo "FAIL: $file including $include: more than the planted include reported:"; echo "$out"
    failures=$((failures + 1))
  fi
}

clean="$work/clean"
make_clean_tree "$clean"
if ! out=$(bash "$check" "$clean" 2>&1); then
  echo "FAIL: a tree that keeps the layers was refused:"; echo "$out"
  failures=$((failures + 1))
fi

expect_broken dataservice/Bridge.cc '"platform/pipes/Host.h"' "platform/ is private to the platform library"
expect_broken tdlist/Document.cc '"norv/contracts/v1/data_service.pb.h"' \
  "the generated contract code is private to the platform library"
expect_broken launcher/Launch.cc '<grpcpp/grpcpp.h>' "gRPC stays behind the interfaces of services/"
expect_broken shutdown/Registry.h '<google/protobuf/message.h>' \
  "protobuf stays behind the interfaces of services/"
expect_broken settings/Settings.cc '<sqlite3.h>' "SQLite stays behind the interfaces of services/"
expect_broken conversion/Conversion.cc '"tdlist/Own.h"' \
  "a bridge includes only services/, conversion/, base/, the exported headers and its own folder"
expect_broken base/Mutex.h '"platform/text/Internal.h"' "platform/ is private to the platform library"
expect_broken base/Once.h '"services/Text.h"' \
  "base/ includes only itself, the standard library and Abseil's annotation macros"
expect_broken base/Log.h '<absl/strings/str_cat.h>' "gRPC stays behind the interfaces of services/"
expect_broken settings/Up.cc '"../platform/text/Internal.h"' \
  "included files are named from the root of the tree, never with .."
expect_broken include/norv/interop/Thing.h '"services/Text.h"' \
  "the exported headers include only each other and the standard library"
expect_broken include/norv/platform.h '"platform/text/Internal.h"' \
  "platform/ is private to the platform library"
expect_broken services/Text.h '"services/IThing.h"' "a header of services/ includes its siblings by name only"
expect_broken services/IThing.h '<unicode/ustring.h>' "ICU stays behind the interfaces of services/"

if ((failures > 0)); then
  echo "$failures case(s) failed"
  exit 1
fi
echo "check_layers.sh: every case as expected"
