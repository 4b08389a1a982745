#!/usr/bin/env bash
# Builds the Linux flavour and lets the reference overlay run one short session with the host,
# printing every message that crosses the pipe, the heartbeat, and the host's exit code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
cmake --preset linux >/dev/null
cmake --build --preset linux --target overlay-sim FenyraOverlayHost
exec build/linux/bin/overlay-sim "$@"
