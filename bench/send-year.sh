#!/usr/bin/env bash
# A year of messages (1,000,000 by default) sent by one instance to another:
# the sender (tallyglass_send_probe, with UsageSender as the application runs
# it) reads them from its own database and posts them to a `tallyglass
# --headless` receiver in a temporary $HOME, in a private network namespace.
# Prints the time until the receiver has stored every one, and the peak
# resident memory of each process.
#
#   bench/send-year.sh [build-dir] [messages]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
count=${2:-1000000}
if [ -z "${TALLYGLASS_IN_NAMESPACE:-}" ]; then
  export TALLYGLASS_IN_NAMESPACE=1
  exec tests/e2e/in-private-network.sh "$0" "$build" "$count"
fi
probe=$build/bench/tallyglass_send_probe
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

echo "== the sender's database: $count messages"
"$probe" fill "$work/sender.db" "$count"

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME/.claude/projects"
"$build/src/tallyglass" --headless > "$work/out.log" 2> "$work/err.log" &
pid=$!
for _ in $(seq 100); do curl -sf http://127.0.0.1:45832/health >/dev/null && break; sleep 0.1; done

echo "== sending"
/usr/bin/time -v "$probe" send "$work/sender.db" http://127.0.0.1:45832 "$HOME/.config/tallyglass/app.db" \
  2> "$work/time.log" || { cat "$work/time.log"; exit 1; }
grep -E "Maximum resident|Elapsed" "$work/time.log" | sed 's/^\s*/sender: /'
echo "receiver: peak resident $(awk '/^VmHWM/ {print $2, $3}' "/proc/$pid/status")"
grep -v "^\[tallyglass\] \(import\|history import\)" "$work/err.log" | tail -5 || true
kill "$pid"
wait "$pid" || true
