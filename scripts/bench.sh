#!/usr/bin/env bash
# Builds the optimised Linux flavour and runs every benchmark (each against its in-run baseline),
# then repeats every GOAL line (figure, goal, holds or MISSED) in one summary with the load average.
#   scripts/bench.sh                 the full run
#   VYO_BENCH_SMOKE=1 scripts/bench.sh
#                                    every benchmark once, briefly (the test command's smoke run:
#                                    a benchmark that hangs or crashes fails it; figures not judged)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
cmake --preset linux >/dev/null
cmake --build --preset linux --target bench_all
smoke=${VYO_BENCH_SMOKE:-0}
extra=()
limit=1800
if [ "$smoke" != 0 ]; then
  export VYO_BENCH_SMOKE=1
  extra=(--benchmark_min_time=0.01)
  limit=300
fi
status=0
goals=$(mktemp)
out=$(mktemp)
trap 'rm -f "$goals" "$out"' EXIT
for b in build/linux/bin/bench_*; do
  [ -x "$b" ] || continue
  echo "==== $(basename "$b") (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
  start=$(date +%s)
  # Every benchmark ends by itself; the time-out is the last resort against a hang. Its GOAL lines
  # are kept for the summary at the end.
  if ! timeout "$limit" "$b" --benchmark_counters_tabular=true "${extra[@]}" | tee "$out"; then
    echo "bench: $(basename "$b") FAILED or timed out after $(( $(date +%s) - start )) s" >&2
    status=1
  fi
  grep '^GOAL' "$out" >>"$goals" || true
done
echo "==== goals (load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
cat "$goals"
exit $status
