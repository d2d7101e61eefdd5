#!/usr/bin/env bash
# spindlekeep-replay's command line on the committed slice: the printed
# decisions and scores (the JSON report's members are the slice test's), and
# the exit status and message of each kind of bad input.
set -u
BIN=${1:?usage: $0 BINARY DATA_DIR}
DATA=${2:?usage: $0 BINARY DATA_DIR}
# A cross build runs the program through the emulator ctest was given.
run() { ${SPK_EMULATOR:-} "$BIN" "$@"; }
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
fail() { echo "FAIL: $*"; sed 's/^/  | /' "$OUT/out" "$OUT/err" 2>/dev/null | head -40; exit 1; }

run --labels "$DATA/labels.csv" --json "$OUT/r.json" "$DATA/host_22/" "$DATA/host_1" \
  >"$OUT/out" 2>"$OUT/err" || fail "a good run exited $?"
grep -qE '^host_22 +disk11 +slow +no +yes 0\.[5-9][0-9] h \(2022-07-18\)' "$OUT/out" ||
  fail "disk11 is not declared by the outlier mode alone within the hour"
[ "$(grep -cE ' yes [0-9.]+ h' "$OUT/out")" = 1 ] || fail "a drive besides disk11 was declared"
grep -qE '^host_22 +all +outlier +1 +1 +0 +0 +1\.00 +1\.00$' "$OUT/out" || fail "host_22 outlier score"
grep -qE '^host_22 +all +written +0 +0 +0 +1 +- +0\.00$' "$OUT/out" || fail "host_22 written score"
grep -qE '^replayed 4802 cycles of 2 host' "$OUT/out" || fail "cycle count"

# bad input: status and the words of the message
expect() {
  local status=$1 words=$2 got=0; shift 2
  run "$@" >"$OUT/out" 2>"$OUT/err" || got=$?
  [ "$got" = "$status" ] || fail "$* exited $got, not $status"
  grep -q -- "$words" "$OUT/err" || fail "$* did not say '$words'"
}
expect 2 "no host directory" --labels "$DATA/labels.csv"
expect 2 "unknown option --bogus" --bogus "$DATA/host_1"
expect 2 "--outlier-ratio needs a valid value" --outlier-ratio 1.5x "$DATA/host_1"
expect 2 "W 5..240 minutes" --outlier-window 2 "$DATA/host_1"
expect 2 "DRM type must be 0..3" --drm-type 4 "$DATA/host_1"
expect 1 "cannot list" "$DATA/absent"
expect 1 "no usable trace row" "$DATA"
mkdir "$OUT/empty"
expect 1 "no .csv files" "$OUT/empty"
echo "spindlekeep-replay command line: all checks passed"
