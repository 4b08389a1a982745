#!/usr/bin/env bash
# Runs every libFuzzer target built by the `fuzz` preset for the given number of seconds each
# (default 20), starting from its seed corpus. Any crash or sanitizer report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
bin="$root/build/fuzz/bin"
status=0
for target in "$bin"/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$root/build/fuzz/corpus/$name"
  mkdir -p "$corpus"
  [ -d "$root/fuzz/seeds/$name" ] && cp -n "$root/fuzz/seeds/$name"/* "$corpus"/ 2>/dev/null || true
  echo "fuzz: $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus" > "$root/build/fuzz/$name.log" 2>&1; then
    echo "fuzz: $name FAILED"; tail -n 40 "$root/build/fuzz/$name.log"; status=1
  else
    grep -E 'stat::number_of_executed_units' "$root/build/fuzz/$name.log" || true
  fi
done
exit $status
