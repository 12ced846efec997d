#!/usr/bin/env bash
# The longest a hook event makes Claude Code wait when the app is frozen: the
# kernel still accepts the connection, nothing ever answers. A listener that
# accepts and never reads stands in for the frozen app.
#
#   bench/hook-wait.sh [build-dir] [events]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
events=${2:-20}
export HOME=$(mktemp -d)
listener=
trap '[ -n "$listener" ] && kill $listener 2>/dev/null; rm -rf "$HOME"' EXIT
"$build/src/tallyglass" hook install >/dev/null
port=$(grep -o 'PORT=[0-9]*' "$HOME/.config/tallyglass/app-hook" | head -1 | cut -d= -f2)
python3 - "$port" <<'PY' &
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(1024); held = []
while True: held.append(s.accept()[0])
PY
listener=$!
sleep 0.5
payload='{"hook_event_name":"Stop","session_id":"x","transcript_path":"/tmp/none.jsonl","cwd":"/tmp"}'
for _ in $(seq 1 "$events"); do
  start=$(date +%s.%N)
  echo "$payload" | "$HOME/.config/tallyglass/app-hook" >/dev/null 2>&1
  echo "$(date +%s.%N) - $start" | bc
done | sort -n | tail -1 | xargs printf 'worst of %s hook events against a server that never answers: %s s\n' "$events"
