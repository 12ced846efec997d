#!/usr/bin/env bash
# The desktop application under a real window manager (openbox on Xvfb): what
# only a window manager decides. The overlay must sit 24 px from the top-right
# corner, stay above a raised window, show on every desktop, stay out of the
# taskbar and pager, and never take the focus from the user's window, neither
# when it appears nor when it is clicked. Meant to run inside in-private-network.sh.
#
#   desktop-wm.sh <tallyglass binary>
set -uo pipefail
bin=$1
for tool in Xvfb openbox xdotool xprop xwininfo xmessage wmctrl xsetroot; do
  command -v "$tool" >/dev/null || { echo "needs $tool (scripts/setup-debian installs it); skipping"; exit 77; }
done
source "$(dirname "$0")/common.sh"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/run
unset CLAUDE_CONFIG_DIR WAYLAND_DISPLAY QT_QPA_PLATFORM
mkdir -p "$HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"

exec 3> "$work/display"
# The screen's pixels are a file (XWD) the checks below read as they are shown.
# -noreset: a server that resets as its last client (the xprop probe) leaves
# refuses the next one for a moment, and openbox would come up to no display.
Xvfb -displayfd 3 -noreset -screen 0 1280x800x24 -fbdir "$work" -nolisten tcp > "$work/xvfb.log" 2>&1 &
xvfb=$!
until_true 10 '[ -s "$work/display" ]' || fail "Xvfb did not start"
export DISPLAY=:$(head -1 "$work/display")
until_true 10 'xprop -root _NET_CLIENT_LIST' || fail "Xvfb does not answer on $DISPLAY"
openbox > "$work/openbox.log" 2>&1 &
until_true 10 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
  fail "openbox did not start ($(kill -0 $xvfb 2>/dev/null && echo "Xvfb runs" || echo "Xvfb has gone"))"
# A coloured desktop, so that pixels drawn black stand out. Openbox composites nothing.
xsetroot -solid '#2e8b57'
xprop -root | grep -q '^_NET_WM_CM_S0' && fail "a compositing manager runs; this test needs none"

# pixel <x> <y>: the screen's pixel there as RRGGBB, read from Xvfb's XWD file.
screen=$work/Xvfb_screen0
field() { od -An -tu4 --endian=big -j $(($1 * 4)) -N 4 "$screen" | tr -d ' '; }
pixel_at() { echo $(( $(field 0) + $(field 19) * 12 + $2 * $(field 12) + $1 * 4 )); }
pixel() { od -An -tx4 --endian=little -j "$(pixel_at "$1" "$2")" -N 4 "$screen" | tr -d ' ' | cut -c3-; }
# black_pixels <x> <y> <w> <h>: how many pixels of that rectangle are pure black.
black_pixels() {
  local row count=0
  for ((row = $2; row < $2 + $4; row++)); do
    count=$((count + $(od -An -v -tx4 --endian=little -j "$(pixel_at "$1" "$row")" -N $(($3 * 4)) "$screen" | tr -s ' ' '\n' | grep -c '^..000000$')))
  done
  echo "$count"
}

# Whether the card's actions menu is open: a window of the program's shows beside the card.
menu_open() {
  xdotool search --onlyvisible --pid "$app" 2>/dev/null | grep -qvx "$overlay"
}

echo "== the user's application holds the focus"
xmessage -name userwindow -geometry 600x400+300+100 "the user's work" > "$work/xmessage.log" 2>&1 &
until_true 10 'xdotool search --classname userwindow' || fail "no user window"
user=$(xdotool search --classname userwindow | head -1)
xdotool windowactivate --sync "$user"
until_true 5 '[ "$(xdotool getactivewindow)" = "$user" ]' || fail "the user's window did not get the focus"

echo "== the overlay appears without taking the focus"
mkdir -p "$HOME/.config/tallyglass"
printf '[General]\ntallyglass_onboarding_v1_done=true\n' > "$HOME/.config/tallyglass/tallyglass.conf"
"$bin" > "$work/app.log" 2>&1 &
app=$!
until_true 15 'xdotool search --name "Tallyglass overlay"' || fail "no overlay window"
overlay=$(xdotool search --name "Tallyglass overlay" | head -1)
until_true 5 'xwininfo -id "$overlay" | grep -q IsViewable' || fail "overlay not shown"
sleep 0.5
[ "$(xdotool getactivewindow)" = "$user" ] || fail "the overlay took the focus when it appeared"

echo "== position, size and window-manager state"
geometry=$(xwininfo -id "$overlay")
x=$(awk '/Absolute upper-left X/ {print $4}' <<< "$geometry")
y=$(awk '/Absolute upper-left Y/ {print $4}' <<< "$geometry")
w=$(awk '/Width:/ {print $2}' <<< "$geometry")
h=$(awk '/Height:/ {print $2}' <<< "$geometry")
[ "$x,$y,$w,$h" = "1040,24,216,236" ] || fail "overlay at $x,$y size ${w}x$h, not 1040,24 216x236"
state=$(xprop -id "$overlay" _NET_WM_STATE)
for wanted in _NET_WM_STATE_ABOVE _NET_WM_STATE_SKIP_TASKBAR _NET_WM_STATE_SKIP_PAGER; do
  grep -q "$wanted" <<< "$state" || fail "no $wanted in: $state"
done
# Window managers that know no sticky state (openbox among them) say "every
# desktop" with the desktop number alone; the desktop switch below is the proof.
xprop -id "$overlay" _NET_WM_DESKTOP | grep -q 4294967295 || fail "not on every desktop: $(xprop -id "$overlay" _NET_WM_DESKTOP)"

echo "== without a compositor the window takes the card's shape: no black around it"
[ "$(pixel 5 795)" = 2e8b57 ] || fail "the desktop is not coloured: $(pixel 5 795)"
until_true 5 '[ "$(pixel 1148 100)" != 2e8b57 ]' || fail "the card is not drawn"
until_true 5 '[ "$(black_pixels 1040 24 216 236)" = 0 ]' || fail "$(black_pixels 1040 24 216 236) black pixels in the overlay's window"
[ "$(pixel 1040 24)" = 2e8b57 ] || fail "the card's corner is not rounded: $(pixel 1040 24)"
[ "$(pixel 1148 259)" = 2e8b57 ] || fail "the window below the card is not the desktop: $(pixel 1148 259)"

echo "== clicks on the card and its menu leave the focus where it was"
xdotool mousemove 1148 175 click 1
sleep 0.4 # a focus taken would go at once: there is no event to wait for
[ "$(xdotool getactivewindow)" = "$user" ] || fail "a click on the card took the focus"
xdotool mousemove 1236 36 click 1
until_true 10 menu_open || fail "the actions menu did not open"
sleep 0.4
[ "$(xdotool getactivewindow)" = "$user" ] || fail "opening the actions menu took the focus"
xdotool key Escape
until_true 10 '! menu_open' || fail "the actions menu did not close"

echo "== a raised window stays below the overlay"
xdotool windowraise "$user"
sleep 0.3
stacking=$(xprop -root _NET_CLIENT_LIST_STACKING | tr -d ',' | sed 's/.*# //')
user_hex=$(printf '0x%x' "$user")
overlay_hex=$(printf '0x%x' "$overlay")
user_at=0; overlay_at=0; i=0
for id in $stacking; do i=$((i+1)); [ "$((id))" = "$((user_hex))" ] && user_at=$i; [ "$((id))" = "$((overlay_hex))" ] && overlay_at=$i; done
[ "$overlay_at" -gt "$user_at" ] || fail "the raised window went above the overlay ($stacking)"

echo "== on another desktop the overlay is still there"
wmctrl -s 1
until_true 10 '! xwininfo -id "$user" | grep -q IsViewable' || fail "the desktop did not switch"
xwininfo -id "$overlay" | grep -q IsViewable || fail "the overlay is gone on desktop 2"
wmctrl -s 0

echo "== the Full Report opens from the card's menu in front, in the taskbar, and leaves it when closed"
until_true 10 'grep -q "done:" "$work/app.log"' || fail "the import did not end" # "Refresh" is enabled again
xdotool mousemove 1236 36 click 1
until_true 10 menu_open || fail "the actions menu did not open"
xdotool key Down Down Return
until_true 10 'xdotool search --name "Full Report"' || fail "no report window"
report=$(xdotool search --name "Full Report" | head -1)
until_true 5 'xwininfo -id "$report" | grep -q IsViewable' || fail "report not shown"
xprop -id "$report" _NET_WM_STATE | grep -q SKIP_TASKBAR && fail "the report is out of the taskbar"
xprop -root _NET_CLIENT_LIST | grep -qi "$(printf '0x%x' "$report")" || fail "the report is not in the window list"
until_true 5 '[ "$(xdotool getactivewindow)" = "$report" ]' || fail "the report did not come to the front"
wmctrl -c "Full Report"
until_true 5 '! xprop -root _NET_CLIENT_LIST | grep -qi "$(printf "0x%x" "$report")"' || fail "the closed report is still listed"
kill -0 "$app" || fail "closing the report ended the program"

echo "== a second start brings the Full Report forward and ends, and the card still takes no focus"
xdotool windowactivate --sync "$user"
"$bin" > "$work/second.log" 2>&1; status=$?
[ "$status" = 0 ] || fail "the second start ended with status $status"
until_true 10 'xdotool search --onlyvisible --name "Full Report"' || fail "no report after the second start"
report=$(xdotool search --onlyvisible --name "Full Report" | head -1)
until_true 5 '[ "$(xdotool getactivewindow)" = "$report" ]' || fail "the second start did not bring the report to the front"
xdotool mousemove 1148 175 click 1
sleep 0.4 # as above: a focus taken would go at once
[ "$(xdotool getactivewindow)" = "$report" ] || fail "a click on the card took the focus from the report"
wmctrl -c "Full Report"
until_true 5 '! xdotool search --onlyvisible --name "Full Report"' || fail "the report did not close"
kill -0 "$app" || fail "the second start ended the first"

echo "== SIGTERM ends it cleanly"
kill -TERM "$app"
wait "$app"; status=$?
[ "$status" = 0 ] || fail "exit status $status after SIGTERM"

# The welcome's window: the one of the program's visible windows that is 520 wide.
welcome_of() {
  local id
  for id in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
    xwininfo -id "$id" | grep -q "Width: 520" && { echo "$id"; return 0; }
  done
  return 1
}

# Starts the program, which must open its welcome: sets $app and $welcome.
start_at_welcome() {
  "$bin" > "$work/$1.log" 2>&1 &
  app=$!
  until_true 15 'welcome_of "$app" > /dev/null' || fail "no welcome window"
  welcome=$(welcome_of "$app")
}

echo "== at the first start the welcome takes the focus, in the taskbar, while the overlay waits"
sed -i '/tallyglass_onboarding_v1_done/d' "$HOME/.config/tallyglass/tallyglass.conf"
xdotool windowactivate --sync "$user"
start_at_welcome app2
until_true 5 '[ "$(xdotool getactivewindow)" = "$welcome" ]' || fail "the welcome did not take the focus"
xprop -id "$welcome" _NET_WM_STATE | grep -q SKIP_TASKBAR && fail "the welcome is out of the taskbar"
xdotool search --onlyvisible --name "Tallyglass overlay" > /dev/null && fail "the overlay shows beside the welcome"
xprop -id "$welcome" _NET_WM_NAME | grep -q '= "Tallyglass"$' || fail "the untitled welcome is not named: $(xprop -id "$welcome" _NET_WM_NAME)"

echo "== dragging the welcome's background moves it"
position() { xdotool getwindowgeometry "$welcome" | sed -n 's/.*Position: \([0-9-]*,[0-9-]*\).*/\1/p'; }
before=$(position)
xdotool mousemove --window "$welcome" 30 12 mousedown 1
# The window manager takes the move over only once the app has asked it to: the
# pointer keeps moving, a little at a time, until the window follows.
moved=false
for _ in $(seq 100); do
  xdotool mousemove_relative --sync 2 1
  [ "$(position)" != "$before" ] && { moved=true; break; }
  sleep 0.05
done
xdotool mouseup 1
$moved || fail "the welcome stayed at $before when its background was dragged"

echo "== closing the welcome completes it and brings the overlay back"
wmctrl -i -c "$(printf '0x%x' "$welcome")"
until_true 5 'xdotool search --onlyvisible --name "Tallyglass overlay"' || fail "the overlay did not come back"
grep -q "tallyglass_onboarding_v1_done=true" "$HOME/.config/tallyglass/tallyglass.conf" || fail "closing did not complete the welcome"
kill -TERM "$app"; wait "$app"

echo "== quitting while the welcome is open does not complete it"
sed -i '/tallyglass_onboarding_v1_done/d' "$HOME/.config/tallyglass/tallyglass.conf"
start_at_welcome app-term
kill -TERM "$app"; wait "$app"
grep -q "tallyglass_onboarding_v1_done" "$HOME/.config/tallyglass/tallyglass.conf" && fail "quitting completed the welcome"

echo "== \"Exit\" in the hook step ends the program and the welcome comes again"
start_at_welcome app3
until_true 5 '[ "$(xdotool getactivewindow)" = "$welcome" ]' || fail "the welcome did not take the focus"
xdotool mousemove --window "$welcome" 260 494 click 1 # "Get Started"
# "Exit" (there is no ~/.claude here). Nothing outside the window tells when
# the hook step is there to be clicked, so the click goes again until the
# program ends; before the step, the same place is "Get Started" still.
exit_clicked() {
  xdotool mousemove --window "$welcome" 259 482 click 1 2>/dev/null
  until_true 1 '! kill -0 "$app"'
}
until_true 30 exit_clicked || fail "\"Exit\" did not end the program"
wait "$app"; status=$?
[ "$status" = 0 ] || fail "exit status $status after \"Exit\""
grep -q "tallyglass_onboarding_v1_done" "$HOME/.config/tallyglass/tallyglass.conf" && fail "\"Exit\" completed the welcome"

echo "== SIGTERM and SIGINT end the program while it says it cannot start"
mv "$HOME/.config/tallyglass/app.db" "$work/app.db.kept"
mkdir "$HOME/.config/tallyglass/app.db" # a folder where the database would be
for stop in TERM INT; do
  "$bin" > "$work/cannot-start-$stop.log" 2>&1 &
  app=$!
  until_true 15 'xdotool search --onlyvisible --name "Tallyglass cannot start"' || fail "no alert before SIG$stop"
  kill -"$stop" "$app"
  until_true 10 '! kill -0 "$app"' || fail "SIG$stop did not end the program under its alert"
  wait "$app"; status=$?
  [ "$status" = 1 ] || fail "exit status $status after SIG$stop under the alert"
done
rmdir "$HOME/.config/tallyglass/app.db"
echo "1 passed, 0 failed"
