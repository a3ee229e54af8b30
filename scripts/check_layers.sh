#!/usr/bin/env bash
# Checks the layers of the tree (docs/architecture.md) by what its files
# include, whether the include would compile or not:
#   - a bridge (conversion/ dataservice/ tdlist/ launcher/ shutdown/
#     settings/) includes services/, conversion/, base/, the exported
#     headers, its own folder and the standard library: never platform/, the
#     generated contract code, another bridge, gRPC, protobuf, SQLite, ICU or
#     libsodium;
#   - base/ (shared by both layers) includes itself, the standard library
#     and Abseil's thread-safety annotation macros only;
#   - the exported headers (include/norv/interop.h, include/norv/interop/)
#     include each other and the standard library only;
#   - the platform's umbrella header (include/norv/platform.h) includes the
#     headers of services/ only, by their installed name "platform/X.h";
#   - the headers of services/ include each other by sibling name (the way
#     they are installed) and the standard library only.
#
# Usage: check_layers.sh [ROOT]   (ROOT defaults to the tree holding this
# script). Prints one line per broken rule, "file:line: the include: the
# rule", and exits 1 if there is any; exits 0 otherwise.
set -euo pipefail

root=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
root=${root%/}
bridges=(conversion dataservice tdlist launcher shutdown settings)
broken=0
lib=""
rule=""

report() {  # report FILE LINE INCLUDE RULE
  echo "$1:$2: #include $3: $4"
  broken=$((broken + 1))
}

# Sets `lib` to the library an include belongs to when it is one that the
# platform keeps to itself, else to "". (The checks set variables rather than
# print, so that the loops below start no subshell per include.)
third_party() {
  case $1 in
    grpc/* | grpcpp/* | grpc++/* | absl/*) lib="gRPC" ;;
    google/protobuf/*) lib="protobuf" ;;
    sqlite3.h | sqlite3ext.h) lib="SQLite" ;;
    unicode/*) lib="ICU" ;;
    sodium.h | sodium/*) lib="libsodium" ;;
    *) lib="" ;;
  esac
}

is_generated() {
  case $1 in
    norv/contracts/* | *.pb.h) return 0 ;;
  esac
  return 1
}

# Whether an include (with its delimiters) names a file of this tree by a
# path: any "dir/file" in quotes, or a <dir/file> whose first component is a
# folder of the tree or the installed "norv/" prefix.
names_tree_file() {
  local inc=$1 path=${1:1:${#1}-2}
  [[ $path == */* ]] || return 1
  [[ $inc == \"* || ${path%%/*} == norv || -d $root/${path%%/*} ]]
}

# The includes of the given files, and of the files (*.h, *.cc) under the
# given folders; missing ones are skipped. One "file<TAB>line<TAB>include"
# line each, the include with its delimiters.
includes_of() {
  local files=() arg
  for arg in "$@"; do
    if [[ -d $arg ]]; then
      mapfile -t -O "${#files[@]}" files < <(find "$arg" -type f \( -name '*.h' -o -name '*.cc' \) | sort)
    elif [[ -f $arg ]]; then
      files+=("$arg")
    fi
  done
  ((${#files[@]})) || return 0
  grep -n -H -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^>"]+[>"]' "${files[@]}" |
    sed -E 's/^([^:]*):([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*([<"][^>"]+[>"]).*/\1\t\2\t\3/' ||
    true
}

# Sets `rule` to the rule that an include breaks in any checked file, if
# any, else to "".
common_rule() {
  local path=$1
  third_party "$path"
  if [[ $path == *..* ]]; then
    rule="included files are named from the root of the tree, never with .."
  elif [[ -n $lib ]]; then
    rule="$lib stays behind the interfaces of services/"
  elif is_generated "$path"; then
    rule="the generated contract code is private to the platform library"
  elif [[ $path == platform/* ]]; then
    rule="platform/ is private to the platform library; use the interfaces of services/"
  else
    rule=""
  fi
}

check_bridge() {
  local bridge=$1 file line inc path
  while IFS=$'\t' read -r file line inc; do
    path=${inc:1:${#inc}-2}
    common_rule "$path"
    if [[ -z $rule ]] && names_tree_file "$inc"; then
      case $path in
        services/* | conversion/* | base/* | "$bridge"/* | norv/interop.h | norv/interop/*) ;;
        *) rule="a bridge includes only services/, conversion/, base/, the exported headers and its own folder" ;;
      esac
    fi
    [[ -z $rule ]] || report "${file#"$root"/}" "$line" "$inc" "$rule"
  done < <(includes_of "$root/$bridge")
}

check_base() {
  local file line inc path
  while IFS=$'\t' read -r file line inc; do
    path=${inc:1:${#inc}-2}
    [[ $path != absl/base/thread_annotations.h ]] || continue  # macros only
    common_rule "$path"
    if [[ -z $rule ]] && names_tree_file "$inc"; then
      case $path in
        base/*) ;;
        *) rule="base/ includes only itself, the standard library and Abseil's annotation macros" ;;
      esac
    fi
    [[ -z $rule ]] || report "${file#"$root"/}" "$line" "$inc" "$rule"
  done < <(includes_of "$root/base")
}

check_exported_headers() {
  local file line inc path
  while IFS=$'\t' read -r file line inc; do
    path=${inc:1:${#inc}-2}
    common_rule "$path"
    if [[ -z $rule ]] && names_tree_file "$inc"; then
      case $path in
        norv/interop.h | norv/interop/*) ;;
        *) rule="the exported headers include only each other and the standard library" ;;
      esac
    fi
    [[ -z $rule ]] || report "${file#"$root"/}" "$line" "$inc" "$rule"
  done < <(includes_of "$root/include/norv/interop.h" "$root/include/norv/interop")
}

check_platform_umbrella() {
  local file line inc path
  while IFS=$'\t' read -r file line inc; do
    path=${inc:1:${#inc}-2}
    if [[ $path == platform/* && $path != platform/*/* && -f $root/services/${path#platform/} ]]; then
      continue  # a header of services/, by its installed name
    fi
    common_rule "$path"
    if [[ -z $rule ]] && { [[ $inc == \"* ]] || names_tree_file "$inc"; }; then
      rule="the platform's umbrella header includes only the headers of services/, as platform/X.h"
    fi
    [[ -z $rule ]] || report "${file#"$root"/}" "$line" "$inc" "$rule"
  done < <(includes_of "$root/include/norv/platform.h")
}

check_service_headers() {
  local file line inc path
  while IFS=$'\t' read -r file line inc; do
    path=${inc:1:${#inc}-2}
    common_rule "$path"
    if [[ -z $rule ]]; then
      if [[ $inc == \"* ]]; then
        if [[ $path == */* || ! -f $root/services/$path ]]; then
          rule="a header of services/ includes its siblings by name only, as they are installed"
        fi
      elif names_tree_file "$inc"; then
        rule="a header of services/ includes its siblings by name only, as they are installed"
      fi
    fi
    [[ -z $rule ]] || report "${file#"$root"/}" "$line" "$inc" "$rule"
  done < <(shopt -s nullglob; includes_of "$root"/services/*.h)
}

for bridge in "${bridges[@]}"; do
  check_bridge "$bridge"
done
check_base
check_exported_headers
check_platform_umbrella
check_service_headers

if ((broken > 0)); then
  echo "$broken include(s) break the layers of the tree (docs/architecture.md)"
  exit 1
fi
echo "layers ok"
