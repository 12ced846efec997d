#!/usr/bin/env bash
# The memory probes, against a running `tallyglass --headless` in a private
# network namespace and a temporary $HOME, all at once:
#   - five concurrent Stop events naming a 2 GB sparse transcript (no line feed);
#   - hook payloads just under the 4 MiB body limit, four at a time, eight
#     rounds (all taken), then 60 MiB ones the same way (all refused, 413);
#   - 1,000 events a second for 10 s naming a 200 MB transcript;
# while a small session's replies are timed from event to storage. Prints the
# peak resident memory and the small session's latencies.
#
#   bench/memory-probe.sh [build-dir] [probes: sparse,big,heavy (default all three)]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
which=${2:-sparse,big,heavy}
if [ -z "${TALLYGLASS_IN_NAMESPACE:-}" ]; then
  export TALLYGLASS_IN_NAMESPACE=1
  exec tests/e2e/in-private-network.sh "$0" "$build" "$which"
fi
bin=$build/src/tallyglass
post=$build/bench/tallyglass_post_events
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME/.claude/projects/p"
db=$HOME/.config/tallyglass/app.db
proj=$HOME/.claude/projects/p

"$bin" --headless > "$work/out.log" 2> "$work/err.log" &
pid=$!
for _ in $(seq 100); do curl -sf http://127.0.0.1:45832/health >/dev/null && break; sleep 0.1; done

peak=0
( while kill -0 "$pid" 2>/dev/null; do
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    echo "$rss"; sleep 0.1
  done ) > "$work/rss" &

event() { printf '{"hook_event_name":"%s","session_id":"%s","transcript_path":"%s"}' "$1" "$2" "$3"; }

echo "== preparing: a 2 GB sparse file, 4 MiB and 60 MiB payloads, a 200 MB transcript"
truncate -s 2G "$proj/sparse.jsonl"
event Stop sparse "$proj/sparse.jsonl" > "$work/sparse.json"
payload() { # <file> <bytes of tool_response>
  { printf '{"hook_event_name":"PostToolUse","session_id":"big","transcript_path":"%s","tool_response":"' "$proj/none.jsonl"
    head -c "$2" /dev/zero | tr '\0' 'x'; printf '"}'; } > "$1"
}
payload "$work/limit.json" $(((4 << 20) - (64 << 10)))
payload "$work/big.json" $((60 << 20))
seq 1 400000 | sed 's/.*/{"type":"assistant","sessionId":"heavy","timestamp":"2026-01-01T00:00:00Z","message":{"id":"h&","model":"claude-sonnet-4-6","usage":{"input_tokens":3,"output_tokens":5}},"pad":"'"$(head -c 380 /dev/zero | tr '\0' 'p')"'"}/' \
  > "$proj/heavy.jsonl"
event PostToolUse heavy "$proj/heavy.jsonl" > "$work/heavy.json"
ls -la "$proj" | tail -n +2

echo "== probing"
probes=()
if [[ $which == *sparse* ]]; then "$post" 45832 "$work/sparse.json" 5 5 > "$work/p1.log" & probes+=($!); fi
if [[ $which == *big* ]]; then
  { "$post" 45832 "$work/limit.json" 32 4 && "$post" --expect=413 45832 "$work/big.json" 32 4; } > "$work/p2.log" &
  probes+=($!)
fi
if [[ $which == *heavy* ]]; then "$post" 45832 "$work/heavy.json" 10000 16 1000 > "$work/p3.log" & probes+=($!); fi
latencies=()
for i in $(seq 1 10); do
  sleep 0.8
  printf '{"type":"assistant","sessionId":"small","timestamp":"2026-01-01T00:00:00Z","message":{"id":"s%d","usage":{"output_tokens":1}}}\n' "$i" \
    >> "$proj/small.jsonl"
  started=$(date +%s%N)
  event Stop small "$proj/small.jsonl" | curl -s --data-binary @- http://127.0.0.1:45832/event >/dev/null
  stored=none
  while [ $(( ($(date +%s%N) - started) / 1000000 )) -lt 5000 ]; do
    if [ "$(sqlite3 "$db" "SELECT COUNT(*) FROM messages WHERE messageId = 's$i'" 2>/dev/null)" = 1 ]; then
      stored=$(( ($(date +%s%N) - started) / 1000000 )); break
    fi
    sleep 0.02
  done
  latencies+=("$stored")
done
wait "${probes[@]}" || true
cat "$work"/p?.log 2>/dev/null || true
sleep 2
alive=yes; kill -0 "$pid" 2>/dev/null || alive=no
peak=$(sort -n "$work/rss" | tail -1)
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo "?")
echo "== results"
echo "process alive: $alive"
echo "peak resident memory: $((peak / 1024)) MB sampled, VmHWM $((${hwm:-0} / 1024)) MB"
echo "small session, event to stored (ms): ${latencies[*]}"
echo "heavy transcript messages stored: $(sqlite3 "$db" "SELECT COUNT(*) FROM messages WHERE sessionId = 'heavy'")"
kill -TERM "$pid"; wait "$pid" || true
limit=512 # MB; the payloads alone must stay far lower
[ "$which" = big ] && limit=128
if [ "$alive" = yes ] && [ $((peak / 1024)) -lt $limit ]; then echo "PASS"; exit 0; fi
echo "FAIL"
exit 1
