#!/bin/bash
# Serves a demo project with NORVCTL and runs the example host program
# (examples/host) EXAMPLE twice against it: the first run creates the
# author's preferred TD list, the second finds it and saves it back. Both
# runs must print what the demo project holds. Used by the tests that build
# the example against an installed tree or against the unpacked packages.
#
#   check_host_example.sh NORVCTL EXAMPLE WORK_DIR
set -euo pipefail
norvctl=$1 example=$2 work=$3

fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir -p "$work"

# A private endpoint directory and key directory; short, since socket paths
# must fit in 107 bytes.
export NORV_PIPE_DIR
NORV_PIPE_DIR=$(mktemp -d /tmp/norv-host-XXXXXX)
export XDG_CONFIG_HOME=$work/config
export LC_ALL=C
unset NORV_ANSI_CODEPAGE NORV_SHORT_DATE_PATTERN

"$norvctl" project create-demo "$work/project.db" \
  --admin-password north-field-admin --restricted-password north-field-viewer >/dev/null

# The data service runs until SIGTERM; it prints "serving ..." once it
# listens.
"$norvctl" serve data-service --db "$work/project.db" >"$work/serve.log" 2>&1 &
server=$!
cleanup() {
  kill -TERM "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  rm -rf "$NORV_PIPE_DIR"
}
trap cleanup EXIT
for _ in $(seq 1200); do
  grep -q '^serving' "$work/serve.log" && break
  kill -0 "$server" 2>/dev/null || fail "norvctl serve data-service ended: $(cat "$work/serve.log")"
  sleep 0.05
done
grep -q '^serving' "$work/serve.log" || fail "the data service did not start within 60 s"

author_dir=$work/authors/Amara\ Okafor
mkdir -p "$author_dir"
run_example() {
  echo north-field-admin | "$example" "$server" demo admin "Amara Okafor" "Budget 2027" \
    "$author_dir"
}
first=$(run_example) || fail "first run: $first"
echo "$first"
second=$(run_example) || fail "second run: $second"
echo "$second"

expect() {  # expect OUTPUT TEXT
  grep -qF -- "$2" <<<"$1" || fail "expected \"$2\" in:
$1"
}
expect "$first" "user admin: administrator"
expect "$first" "authors: 4"
expect "$first" "  Amara Okafor"
expect "$first" "  Sophie Moreau"
expect "$first" "forecast \"Budget 2027\" of Amara Okafor:"
expect "$first" "preferred TD list created with 3 pairs"
expect "$first" "subscribers agree to shut down: yes"
grep -qE '^borehole [0-9]+, ".*": end of life [0-9]{1,2}/[0-9]{1,2}/[0-9]{4}$' <<<"$first" ||
  fail "no short date in: $first"
expect "$second" "preferred TD list found: mode 1, 3 pairs"
expect "$second" "saved with chart 2: yes"
grep -q '^last-td-chart-id 2$' "$author_dir/preferred-td-list.txt" ||
  fail "the saved list holds: $(cat "$author_dir/preferred-td-list.txt")"

# The server stops on SIGTERM and removes its socket; the example left none.
kill -TERM "$server"
wait "$server" || fail "norvctl serve data-service exited with status $?"
trap - EXIT
grep -q '^stopped on SIGTERM' "$work/serve.log" || fail "server log: $(cat "$work/serve.log")"
left=$(find "$NORV_PIPE_DIR" -name '*.sock')
rm -rf "$NORV_PIPE_DIR"
[ -z "$left" ] || fail "sockets left: $left"
echo "host example ok"
