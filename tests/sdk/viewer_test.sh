#!/usr/bin/env bash
# The viewer under Xvfb, driven with xdotool: two views of the sample package over the scene. The
# window's picture shows the scene and both pages at their rectangles (the upper one on top); a
# click on the upper page's text field followed by typed text shows the text in the next picture;
# a click on a transparent part of that view reaches the scene, whose mark shows; closing the
# window ends the host with 0 and leaves no browser process. Every wait is bounded.
#   viewer_test.sh VIEWER PROBE VYO_PACK SOURCE_DIR WORK_DIR
set -uo pipefail
viewer=$1 probe=$2 pack=$3 src=$4 work=$5

if [ "${VYO_VIEWER_TEST_INSIDE:-}" != 1 ]; then
  for tool in xvfb-run xdotool; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIPPED: $tool is not installed (scripts/install-deps.sh installs it)"
      exit 0
    fi
  done
  rm -rf "$work" && mkdir -p "$work"
  "$pack" pack --keys "$src/keys/dev" "$src/examples/overlay-ui" "$work/overlay-ui.pkg" >/dev/null || exit 1
  export VYO_VIEWER_TEST_INSIDE=1
  exec timeout 280 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

log=$work/viewer.log
fail() {
  echo "viewer test: FAILED: $*"
  echo "---- viewer output:"
  cat "$log"
  [ -n "${viewer_pid:-}" ] && kill "$viewer_pid" 2>/dev/null
  exit 1
}
# wait_for SECONDS COMMAND...: polls COMMAND every 0.2 s until it succeeds or the time is up.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  while [ $SECONDS -lt $end ]; do
    "$@" && return 0
    sleep 0.2
  done
  "$@"
}
logged() { grep -q -- "$1" "$log"; }
# field NAME OUTPUT: the value after NAME in the probe's "region" output.
field() { sed -n "s/.* $1 \([0-9]*\).*/\1/p" <<<" $2"; }

# Under the sanitizer build the display libraries SDL loads and unloads at run time leave blocks
# LeakSanitizer cannot name (their module is gone by the check), so leak checks are off for the
# viewer process only; the SDK's own leak checks run in sdk_tests and the C programs.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
SDL_RENDER_DRIVER=software "$viewer" --package "$work/overlay-ui.pkg" --views 2 >"$log" 2>&1 &
viewer_pid=$!
wait_for 90 logged "view 2 shows the page\|(the browser failed)\|host exited" || fail "no page within 90 s"
if logged "(the browser failed)"; then
  kill "$viewer_pid"
  wait "$viewer_pid"
  echo "SKIPPED: no browser on this machine"
  exit 0
fi
logged "view 2 shows the page" || fail "the viewer ended before showing the page"
# Where the views are, as the viewer placed them: "viewer: view N at X,Y WxH z Z".
read -r x1 y1 < <(sed -n 's/^viewer: view 1 at \([0-9]*\),\([0-9]*\) .*/\1 \2/p' "$log")
read -r x2 y2 w2 h2 < <(sed -n 's/^viewer: view 2 at \([0-9]*\),\([0-9]*\) \([0-9]*\)x\([0-9]*\) .*/\1 \2 \3 \4/p' "$log")
host_pid=$(sed -n 's/^viewer: host pid \([0-9]*\),.*/\1/p' "$log")
window=$(wait_for 10 "$probe" find vyo-viewer) || fail "no window named vyo-viewer"
# The page's text field is the one wide white box in the upper view; wait until it is drawn.
shot=$work/shot1.ppm
field_at() { "$probe" shot "$window" "$shot" && "$probe" white-run "$shot" "$x2" "$y2" "$w2" "$h2" 100; }
read -r fx fy flen < <(wait_for 30 field_at) || fail "the upper view shows no text field"
echo "text field of view 2 at $fx,$fy (a white run of $flen pixels)"

# 1. Scene and pages at their places. The scene: a corner far from the views has the floor, the grid
#    and no page. The pages: the top-left of each view's panel (16 px in, under its title) is the
#    dark panel with white title text; view 1's shows where view 2 does not cover it.
scene=$("$probe" region "$shot" 1000 380 240 200)
page1=$("$probe" region "$shot" $((x1 + 24)) $((y1 + 24)) 160 30)
page2=$("$probe" region "$shot" $((x2 + 24)) $((y2 + 24)) 160 30)
echo "scene: $scene"
echo "view 1 title: $page1"
echo "view 2 title: $page2"
[ "$(field colours "$scene")" -ge 2 ] || fail "the scene is a flat colour"
[ "$(field white "$scene")" -eq 0 ] || fail "page text in the scene's corner"
for page in "$page1" "$page2"; do
  [ "$(field white "$page")" -ge 50 ] || fail "no title text where a page should be"
  [ "$(field dark "$page")" -ge 2000 ] || fail "no dark panel where a page should be"
done
# Just left of view 1 the scene shows (no panel there).
outside=$("$probe" region "$shot" $((x1 - 40)) $((y1 + 24)) 30 30)
[ "$(field white "$outside")" -eq 0 ] || fail "page pixels outside the view's rectangle"

# 2. Click into the field, type; the next picture shows dark text in the (white) field.
before=$("$probe" region "$shot" $((fx - flen / 2)) $((fy + 2)) "$flen" 14)
xdotool mousemove --window "$window" "$fx" $((fy + 8)) click 1
wait_for 10 logged "click into view 2" || fail "the click did not reach view 2"
sleep 0.5
xdotool type --delay 60 "hello overlay"
wait_for 10 logged "text to view 2" || fail "no text reached view 2"
typed() {
  "$probe" shot "$window" "$work/shot2.ppm" || return 1
  after=$("$probe" region "$work/shot2.ppm" $((fx - flen / 2)) $((fy + 2)) "$flen" 14)
  [ "$(field dark "$after")" -ge $(($(field dark "$before") + 40)) ]
}
wait_for 15 typed || fail "the typed text does not show in the field (before: $before; after: $after)"
echo "field before typing: $before"
echo "field after typing:  $after"

# 3. A click on a transparent part of view 2 (its bottom rows, below the panel) reaches the scene.
cx=$((x2 + w2 - 60)) cy=$((y2 + h2 - 12))
xdotool mousemove --window "$window" "$cx" "$cy" click 1
wait_for 10 logged "scene click at $cx,$cy" || fail "the click on the transparent part did not reach the scene"
marked() {
  "$probe" shot "$window" "$work/shot3.ppm" || return 1
  mark=$("$probe" region "$work/shot3.ppm" $((cx - 5)) $((cy - 5)) 10 10)
  [ "$(field magenta "$mark")" -ge 80 ]
}
wait_for 5 marked || fail "no mark where the scene was clicked ($mark)"
echo "scene mark: $mark"

# 4. Close the window: the host exits with 0 and its browser is gone.
browser_group=$("$probe" browser "$host_pid") || fail "no browser process of host $host_pid found"
"$probe" close "$window" || fail "cannot ask the window to close"
gone() { ! kill -0 "$viewer_pid" 2>/dev/null; }
wait_for 30 gone || fail "the viewer did not end within 30 s of the close"
wait "$viewer_pid"
status=$?
viewer_pid=""
[ "$status" -eq 0 ] || fail "the viewer exited with $status"
logged "host exited with 0" || fail "the host did not exit with 0"
no_browser() { [ "$("$probe" alive "$browser_group")" -eq 0 ]; }
wait_for 10 no_browser || fail "browser processes of group $browser_group are left"
echo "viewer test: ok (browser group $browser_group gone, host exit 0)"
