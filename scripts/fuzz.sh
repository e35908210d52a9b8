#!/bin/sh
# Runs every libFuzzer harness of a fuzz build for SECONDS each, one after
# the other, over a scratch copy of its seed corpus (tests/fuzz/corpus/<Name>)
# and with the dictionary tests/fuzz/<Name>.dict when there is one. Inputs
# that crash are kept in BUILD/fuzz-artifacts/ beside each run's log; add
# them to the seed corpus once the fault is mended, so that `make test`
# replays them.
# Usage: scripts/fuzz.sh [BUILD [SECONDS [NAME...]]]
set -e
BUILD=${1:-build-fuzz}
SECONDS_EACH=${2:-60}
[ $# -gt 0 ] && shift
[ $# -gt 0 ] && shift
SRC=$(cd "$(dirname "$0")/.." && pwd)
ARTIFACTS="$BUILD/fuzz-artifacts"
mkdir -p "$ARTIFACTS"
ARTIFACTS=$(cd "$ARTIFACTS" && pwd)
NAMES=${*:-$(ls "$SRC/tests/fuzz/corpus")}
# The harnesses write their files below TMPDIR: a short path keeps the
# container lookups (which probe every folder on the way) fast.
WORK=""
trap 'rm -rf "$WORK"' EXIT INT TERM
status=0
for name in $NAMES; do
  exe="$BUILD/tests/fuzz/${name}Fuzz"
  [ -x "$exe" ] || { echo "missing $exe (build the target rh_fuzzers)"; exit 1; }
  WORK=$(mktemp -d)
  mkdir "$WORK/corpus"
  cp "$SRC/tests/fuzz/corpus/$name"/* "$WORK/corpus/"
  dict=""
  [ -f "$SRC/tests/fuzz/$name.dict" ] && dict="-dict=$SRC/tests/fuzz/$name.dict"
  options=""
  [ -f "$SRC/tests/fuzz/$name.options" ] && options=$(cat "$SRC/tests/fuzz/$name.options")
  echo "== $name: $SECONDS_EACH s =="
  # shellcheck disable=SC2086
  TMPDIR="$WORK" "$exe" $dict -max_total_time="$SECONDS_EACH" -timeout=25 -rss_limit_mb=4096 $options \
    -print_final_stats=1 -artifact_prefix="$ARTIFACTS/$name-" "$WORK/corpus" \
    >"$ARTIFACTS/$name.log" 2>&1 || { status=1; echo "$name FAILED: see $ARTIFACTS"; }
  grep -aE "INITED|DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|ERROR|SUMMARY|violated|malloc\(" \
    "$ARTIFACTS/$name.log" || true
  rm -rf "$WORK"
  WORK=""
done
exit $status
