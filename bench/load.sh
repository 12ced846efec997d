#!/usr/bin/env bash
# Load test of the local server with wrk (Debian's package): /health, then
# POST /event with a 2 KB body, 64 connections each, latency percentiles shown.
#
#   bench/load.sh [build-dir] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
command -v wrk >/dev/null || { echo "load.sh: needs wrk (apt-get install wrk)"; exit 2; }
port=$(( 47000 + RANDOM % 2000 ))

"$build/bench/tallyglass_load_server" "$port" >/dev/null &
server=$!
trap 'kill $server 2>/dev/null' EXIT
for _ in $(seq 50); do curl -s "http://127.0.0.1:$port/health" >/dev/null && break; sleep 0.1; done

body=$(head -c 2048 /dev/zero | tr '\0' 'x')
script=$(mktemp)
cat > "$script" <<LUA
wrk.method = "POST"
wrk.body = '{"hook_event_name":"PostToolUse","pad":"${body:0:2000}"}'
wrk.headers["Content-Type"] = "application/json"
LUA

echo "== GET /health, 64 connections, ${seconds}s"
wrk -t2 -c64 -d"${seconds}s" --latency "http://127.0.0.1:$port/health"
echo "== POST /event (2 KB), 64 connections, ${seconds}s"
wrk -t2 -c64 -d"${seconds}s" --latency -s "$script" "http://127.0.0.1:$port/event"
rm -f "$script"
