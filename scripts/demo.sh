#!/usr/bin/env bash
# The main job: builds the Linux flavour, packs the sample overlay page into a signed, encrypted
# package, and lets the reference overlay run a short session with the host, which shows the page
# in a view of the real (headless) browser. Every message that crosses the pipe is printed, then
# the heartbeat, the frames per second the overlay read from each view's shared texture, and the
# host's exit code; the pictures of each view and of the whole surface are written as PNGs. The
# host's own log is written encrypted beside it; the demo reads its last lines back with vyo-log,
# then prints the pictures' paths and one line of figures. Exit status 0 only when the session
# ended cleanly and view 1 showed the page.
#   scripts/demo.sh [SECONDS]     how long the view stays up (default 3)
#   scripts/demo.sh --window      with a display: the interactive viewer (vyo-viewer) shows two views
#                                 of the page over a moving scene, with the real mouse and keyboard,
#                                 until its window is closed (or Escape is held); without a display,
#                                 the headless session above
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
window=0
if [ "${1:-}" = "--window" ]; then
  window=1
  shift
fi
"$root/scripts/install-deps.sh"
cmake --preset linux >/dev/null
targets=(overlay-sim FenyraOverlayHost vyo-pack vyo-log)
if [ "$window" -eq 1 ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  targets+=(vyo-viewer)
fi
cmake --build --preset linux --target "${targets[@]}"
bin="$root/build/linux/bin"
pkg="$root/build/linux/overlay-ui.pkg"
"$bin/vyo-pack" pack --keys "$root/keys/dev" "$root/examples/overlay-ui" "$pkg"
if [ "$window" -eq 1 ]; then
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$bin/vyo-viewer" ]; then
    echo "demo: the viewer's window is open; close it (or hold Escape) to end the session"
    "$bin/vyo-viewer" --package "$pkg" --views 2
    echo "demo: ok"
    exit 0
  fi
  echo "demo: no display (or no vyo-viewer build): the headless session instead"
fi
out="$root/build/linux/demo"
mkdir -p "$out"
# --check: the session fails unless view 1 showed at least one frame and its picture is not blank.
# The reference overlay bounds every wait of its own; the outer time-out is the last resort.
set +e
timeout 300 "$bin/overlay-sim" --url "vyopkg:$pkg" --seconds "${1:-3}" --out "$out" --check | tee "$out/session.txt"
status=${PIPESTATUS[0]}
set -e
# The newest log; ls may be cut short by head (SIGPIPE), which pipefail must not turn into a failure.
log=$(ls -t "$bin"/log/*.log 2>/dev/null | head -n 1 || true)
if [ -n "$log" ]; then
  echo
  echo "==== the host's log ($log), read with the development reader key:"
  "$bin/vyo-log" --key "$root/keys/dev-log/reader0.key" "$log" | tail -n 15
fi
echo
echo "==== what the overlay saw"
grep -E '^(picture|figures|check):' "$out/session.txt" || true
if [ "$status" -ne 0 ]; then
  echo "demo: FAILED (overlay-sim exit status $status)" >&2
  exit 1
fi
echo "demo: ok"
