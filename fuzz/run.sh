#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, each on a scratch copy of its
# seed corpus (so that new inputs never land in the source tree), and fails
# if any target finds a crash, a leak or a broken invariant.
#
# Usage: fuzz/run.sh [BUILD_DIR [SECONDS]]   (defaults: build/fuzz, 60)
# The conversion target runs once per ANSI code page, sharing its SECONDS.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$source_dir/build/fuzz}" && pwd)
seconds=${2:-60}
scratch=$build_dir/fuzz-runs
targets=(fuzz_td_list_document fuzz_conversion fuzz_password fuzz_wire_values fuzz_duplex_session)
# UTF-8, the double-byte pages, and one single-byte page (the target checks
# every single-byte page's decoders directly on each input).
code_pages=(65001 932 936 949 950 1252)

rm -rf "$scratch"
mkdir -p "$scratch/tmp"
export TMPDIR=$scratch/tmp
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# gRPC's and protobuf's process-wide state is never freed, on purpose.
export LSAN_OPTIONS=suppressions=$source_dir/tests/lsan.supp

failed=()

# run NAME SECONDS [VAR=VALUE...]
run() {
  local name=$1 time=$2
  shift 2
  local corpus=$scratch/corpus/$name artifacts=$scratch/artifacts/$name/
  if [ ! -d "$corpus" ]; then
    mkdir -p "$corpus"
    cp "$source_dir/fuzz/corpus/$name"/* "$corpus"/
  fi
  mkdir -p "$artifacts"
  echo "== $name $* for ${time}s"
  if ! env "$@" "$build_dir/fuzz/$name" -max_total_time="$time" -timeout=30 \
      -rss_limit_mb=4096 -max_len=8192 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$corpus" >"$scratch/$name.log" 2>&1; then
    failed+=("$name $*")
    echo "!! $name $* failed; the input is in $artifacts. Last lines of $scratch/$name.log:"
    tail -n 40 "$scratch/$name.log"
  else
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$scratch/$name.log" \
      | tr '\n' ' '
    echo
  fi
}

for name in "${targets[@]}"; do
  if [ "$name" = fuzz_conversion ]; then
    share=$(( seconds / ${#code_pages[@]} ))
    [ "$share" -ge 5 ] || share=5
    for page in "${code_pages[@]}"; do
      run "$name" "$share" NORV_ANSI_CODEPAGE="$page"
    done
  else
    run "$name" "$seconds"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  printf 'fuzzing failed: %s\n' "${failed[@]}"
  exit 1
fi
echo "fuzzing passed: ${targets[*]} (${seconds}s each)"
