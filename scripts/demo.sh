#!/usr/bin/env bash
# The main job: builds the Linux flavour, packs the sample overlay page into a signed, encrypted
# package, and lets the reference overlay run a short session with the host, which shows the page
# in a view of the real (headless) browser. Every message that crosses the pipe is printed, then
# the heartbeat, the frames per second the overlay read from each view's shared texture, and the
# host's exit code; the pictures of each view and of the whole surface are written as PNGs. The host's own log is written encrypted beside it; the
# last lines of the demo read it back with vyo-log.
#   scripts/demo.sh [SECONDS]     how long the view stays up (default 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
cmake --preset linux >/dev/null
cmake --build --preset linux --target overlay-sim FenyraOverlayHost vyo-pack vyo-log
bin="$root/build/linux/bin"
pkg="$root/build/linux/overlay-ui.pkg"
"$bin/vyo-pack" pack --keys "$root/keys/dev" "$root/examples/overlay-ui" "$pkg"
out="$root/build/linux/demo"
mkdir -p "$out"
"$bin/overlay-sim" --url "vyopkg:$pkg" --seconds "${1:-3}" --out "$out"
log=$(ls -t "$bin"/log/*.log | head -n 1)
echo
echo "==== the host's log ($log), read with the development reader key:"
"$bin/vyo-log" --key "$root/keys/dev-log/reader0.key" "$log" | tail -n 15
echo
echo "==== what the overlay saw: $out/view_1.png and $out/surface.png"
