#!/usr/bin/env bash
# How soon captured messages reach the database once it can be written again:
# --headless runs, another process holds the database with BEGIN EXCLUSIVE
# while the transcript grows and the hook's events arrive, then lets go; the
# script times from the release until every message is stored.
#
#   bench/store-recovery.sh [build-dir] [seconds-locked] [events]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
locked=${2:-40}
events=${3:-20}
export HOME=$(mktemp -d)
app=
trap '[ -n "$app" ] && kill $app 2>/dev/null; rm -rf "$HOME"' EXIT

mkdir -p "$HOME/.claude/projects/-tmp-p"
transcript=$HOME/.claude/projects/-tmp-p/s1.jsonl
db=$HOME/.config/tallyglass/app.db
line() {
  printf '{"type":"assistant","sessionId":"s1","cwd":"/tmp/p","timestamp":"%s","message":{"id":"m%s","role":"assistant","model":"claude-haiku-4-5","usage":{"input_tokens":5,"output_tokens":7}}}\n' \
    "$(date -u +%Y-%m-%dT%H:%M:%S.%3NZ)" "$1"
}
event() {
  curl -s -m 1 -X POST -H 'Content-Type: application/json' \
    --data "{\"hook_event_name\":\"Stop\",\"session_id\":\"s1\",\"transcript_path\":\"$transcript\",\"cwd\":\"/tmp/p\"}" \
    "http://127.0.0.1:$port/event" >/dev/null || true
}
stored() { sqlite3 "$db" 'SELECT count(*) FROM messages' 2>/dev/null || echo 0; }

line 0 >"$transcript"
"$build/src/tallyglass" --headless >"$HOME/log" 2>&1 &
app=$!
until grep -q "listening\|:[0-9]\{5\}" "$HOME/log" 2>/dev/null; do sleep 0.1; done
port=$(grep -o ':[0-9]\{5\}' "$HOME/log" | head -1 | tr -d :)
until [ "$(stored)" -ge 1 ]; do sleep 0.1; done

python3 - "$db" "$locked" <<'PY' &
import sqlite3, sys, time
c = sqlite3.connect(sys.argv[1], isolation_level=None)
c.execute('BEGIN EXCLUSIVE'); time.sleep(float(sys.argv[2])); c.execute('ROLLBACK')
PY
holder=$!
sleep 1
for i in $(seq 1 "$events"); do line "$i" >>"$transcript"; event; sleep "$(echo "($locked - 2) / $events" | bc -l)"; done
wait $holder
released=$(date +%s.%N)
until [ "$(stored)" -ge $((events + 1)) ]; do sleep 0.05; done
echo "all $((events + 1)) messages stored $(echo "$(date +%s.%N) - $released" | bc) s after the database was released"
grep -i "storing" "$HOME/log" || true
