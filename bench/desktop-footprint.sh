#!/usr/bin/env bash
# What the desktop application costs while it sits on the screen, under Xvfb
# and openbox in a private network namespace and a temporary $HOME:
#   - CPU over a quiet minute with a full window on the chart;
#   - CPU over a minute of the waiting animation (nothing stored yet);
#   - resident memory once its first start has imported a generated history.
#
#   bench/desktop-footprint.sh [build-dir] [seconds, default 60] [megabytes, default 1024]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
seconds=${2:-60}
megabytes=${3:-1024}
if [ -z "${TALLYGLASS_IN_NAMESPACE:-}" ]; then
  export TALLYGLASS_IN_NAMESPACE=1
  exec tests/e2e/in-private-network.sh "$0" "$build" "$seconds" "$megabytes"
fi
bin=$build/src/tallyglass
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
unset CLAUDE_CONFIG_DIR WAYLAND_DISPLAY QT_QPA_PLATFORM
ticks=$(getconf CLK_TCK)

exec 3> "$work/display"
Xvfb -displayfd 3 -noreset -screen 0 1280x800x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -1 "$work/display")
openbox > "$work/openbox.log" 2>&1 &
sleep 1

fresh_home() {
  export HOME=$work/$1 XDG_CONFIG_HOME=$work/$1/.config
  mkdir -p "$HOME/.config/tallyglass" "$HOME/.claude/projects/p"
  printf '[General]\ntallyglass_onboarding_v1_done=true\n' > "$HOME/.config/tallyglass/tallyglass.conf"
  "$bin" hook install > /dev/null
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# Percent of one core the process used over the given seconds.
cpu_over() {
  local pid=$1 before after
  before=$(cpu_ticks "$pid"); sleep "$seconds"; after=$(cpu_ticks "$pid")
  awk -v t=$((after - before)) -v hz="$ticks" -v s="$seconds" 'BEGIN { printf "%.2f%%", 100 * t / hz / s }'
}
start_app() {
  "$bin" > "$work/$1.out" 2> "$work/$1.err" &
  app=$!
  for _ in $(seq 300); do grep -q "done:" "$work/$1.out" 2>/dev/null && return; sleep 0.1; done
  echo "the app did not finish its import"; cat "$work/$1.err"; exit 1
}
stop_app() { kill -TERM "$app"; wait "$app" || true; }

echo "== a full window, nothing happening, ${seconds} s"
fresh_home full
now=$(date +%s)
for minute in $(seq 240 -1 2); do
  printf '{"type":"assistant","sessionId":"s","timestamp":"%s","message":{"id":"m%d","model":"claude-sonnet-4-6","usage":{"input_tokens":%d,"output_tokens":%d}}}\n' \
    "$(date -u -d "@$((now - minute * 60))" +%FT%TZ)" "$minute" $((1000 + minute * 7)) $((3000 + minute * 11))
done > "$HOME/.claude/projects/p/s.jsonl"
start_app full
printf '{"rate_limits":{"five_hour":{"used_percentage":62,"resets_at":%d},"seven_day":{"used_percentage":18,"resets_at":%d}}}' \
  $((now + 3600)) $((now + 86400)) | curl -s --noproxy '*' -X POST --data-binary @- http://127.0.0.1:45832/event > /dev/null
sleep 3
echo "  CPU $(cpu_over "$app") of one core"
stop_app

echo "== the waiting animation, ${seconds} s"
fresh_home waiting
start_app waiting
sleep 2
echo "  CPU $(cpu_over "$app") of one core"
stop_app

echo "== the first start imports a ${megabytes} MB history"
fresh_home history
"$build/bench/tallyglass_generate_history" "$HOME/.claude/projects" "$megabytes" > /dev/null
started=$(date +%s%N)
start_app history
echo "  $(( ($(date +%s%N) - started) / 1000000 )) ms: $(sed 's/^\[tallyglass\] //' "$work/history.out" | grep 'done:')"
sleep 5
awk '/^VmRSS|^VmHWM/ {printf "  %s %d MB\n", $1, $2 / 1024}' "/proc/$app/status"
stop_app
