#!/usr/bin/env bash
# A longer fuzzing run than the tests' smoke run: each fuzz target (built with AddressSanitizer
# and UndefinedBehaviorSanitizer) runs for SECONDS on its kept corpus plus a scratch folder, then
# what it found new is merged, minimised, into fuzz/corpus/<target>/ for the tests to replay.
# Prints each target's CPU time, runs and corpus size; a crash stops with the fuzzer's report.
#
#   scripts/fuzz-campaign.sh [SECONDS] [TARGET...]     (default 1200 s; all targets)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1200}
shift || true
bin=build/bin
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for t in "${targets[@]}"; do
  corpus=fuzz/corpus/$t
  mkdir -p "$corpus" "$scratch/$t"
  log=$scratch/$t.log
  TIMEFORMAT='%U %S'
  { time "$bin/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -print_final_stats=1 "$scratch/$t" "$corpus" >"$log" 2>&1; } 2>"$scratch/$t.cpu" ||
    { cat "$log"; echo "fuzz_$t failed"; exit 1; }
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  before=$(ls "$corpus" | wc -l)
  # The kept corpus becomes the smallest set of inputs (old and new) that covers all they cover.
  mkdir "$scratch/$t.min"
  "$bin/fuzz_$t" -merge=1 "$scratch/$t.min" "$corpus" "$scratch/$t" >/dev/null 2>&1
  rm -f "$corpus"/*
  cp "$scratch/$t.min"/* "$corpus"/
  after=$(ls "$corpus" | wc -l)
  read -r user sys <"$scratch/$t.cpu"
  printf '%-18s cpu %6.1f min  runs %10s  corpus %d -> %d\n' "$t" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN { print (u + s) / 60 }')" "$runs" "$before" "$after"
done
