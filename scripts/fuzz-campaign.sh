#!/usr/bin/env bash
# A longer fuzzing run than the tests' smoke run: each fuzz target (built with AddressSanitizer
# and UndefinedBehaviorSanitizer) runs for SECONDS on its kept corpus plus a scratch folder, then
# what it found new is merged, minimised, into fuzz/corpus/<target>/ for the tests to replay.
# Prints each target's CPU time, runs and corpus size; a crash stops with the fuzzer's report.
# With --cpu, SECONDS is CPU time rather than wall time, so a run at low priority on a busy
# machine still gets its full share of fuzzing.
#
#   scripts/fuzz-campaign.sh [--cpu] [SECONDS] [TARGET...]     (default 1200 s; all targets)
set -euo pipefail
cd "$(dirname "$0")/.."
cpu_budget=false
if [ "${1:-}" = --cpu ]; then cpu_budget=true; shift; fi
seconds=${1:-1200}
shift || true
ticks=$(getconf CLK_TCK)
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
  # The fuzzer runs in the background; its CPU time is read from /proc while it runs, and a
  # SIGUSR1 (libFuzzer's graceful stop, which still prints the final stats) ends it when the
  # budget is spent.
  wall=$seconds
  if $cpu_budget; then wall=$((seconds * 50)); fi
  "$bin/fuzz_$t" -max_total_time="$wall" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 "$scratch/$t" "$corpus" >"$log" 2>&1 &
  pid=$!
  used=0
  while kill -0 "$pid" 2>/dev/null; do
    if stat=$(cat "/proc/$pid/stat" 2>/dev/null); then
      fields=(${stat##*) })
      used=$(((fields[11] + fields[12]) / ticks))
      if $cpu_budget && [ "$used" -ge "$seconds" ]; then kill -USR1 "$pid" 2>/dev/null || true; fi
    fi
    sleep 2
  done
  wait "$pid" || { cat "$log"; echo "fuzz_$t failed"; exit 1; }
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  before=$(ls "$corpus" | wc -l)
  # The kept corpus becomes the smallest set of inputs (old and new) that covers all they cover.
  mkdir "$scratch/$t.min"
  "$bin/fuzz_$t" -merge=1 "$scratch/$t.min" "$corpus" "$scratch/$t" >/dev/null 2>&1
  rm -f "$corpus"/*
  cp "$scratch/$t.min"/* "$corpus"/
  after=$(ls "$corpus" | wc -l)
  printf '%-18s cpu %6.1f min  runs %10s  corpus %d -> %d\n' "$t" \
    "$(awk -v u="$used" 'BEGIN { print u / 60 }')" "$runs" "$before" "$after"
done
