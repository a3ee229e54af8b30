#!/bin/bash
# Installs the build tree into a scratch prefix, builds examples/host against
# the installed package, serves a demo project with the installed norvctl and
# runs the example twice against it: the first run creates the author's
# preferred TD list, the second finds it and saves it back.
#
#   run_host_example.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
build_dir=$1 source_dir=$2 work=$3

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log"
cmake -S "$source_dir/examples/host" -B "$work/build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log"
cmake --build "$work/build" >"$work/build.log"
example=$work/build/norv-host-example
bash "$(dirname "$0")/../support/check_host_example.sh" "$prefix/bin/norvctl" "$example" "$work/run"
