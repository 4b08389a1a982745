#!/usr/bin/env bash
# Builds the optimised Linux flavour and runs every benchmark (each against its in-run baseline).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
cmake --preset linux >/dev/null
cmake --build --preset linux
for b in build/linux/bin/bench_*; do
  [ -x "$b" ] || continue
  echo "==== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true
done
