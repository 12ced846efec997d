#!/usr/bin/env bash
# Whether the local server can be starved: a burst of simultaneous posts from
# the hook script itself (each its own curl process and connection, ~2 KB
# body), counted as they reach the router; the same burst from as many
# threads of one process, which connect closer together than processes can;
# then health checks while connections trickle one byte a second, and while
# they sit idle.
#
#   bench/starve.sh [build-dir] [posts] [tricklers] [probes]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
posts=${2:-500}
tricklers=${3:-200}
probes=${4:-120}
work=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill $server 2>/dev/null; rm -rf "$work"' EXIT

serve() {
    port=$(( 47000 + RANDOM % 2000 ))
    "$build/bench/tallyglass_load_server" "$port" > "$work/server.log" &
    server=$!
    for _ in $(seq 50); do curl -s "http://127.0.0.1:$port/health" >/dev/null && return; sleep 0.1; done
    echo "starve.sh: the server did not come up"; exit 1
}
# Stops the server; `handled` then holds how many events reached its router.
finish() {
    kill -TERM "$server"; wait "$server" || true; server=
    handled=$(sed -n 's/^events handled: \([0-9]*\).*/\1/p' "$work/server.log")
}

# The hook script as `hook install` writes it, pointed at this server.
HOME=$work XDG_CONFIG_HOME=$work/.config "$build/src/tallyglass" hook install >/dev/null
hook=$work/.config/tallyglass/app-hook
pad=$(head -c 2000 /dev/zero | tr '\0' 'x')
body='{"hook_event_name":"PostToolUse","session_id":"burst","pad":"'$pad'"}'

serve
sed -i "s/^PORT=.*/PORT=$port/" "$hook"
# Every sender waits on one lock, then all go at once.
exec 9>"$work/gate"
flock -x 9
for _ in $(seq "$posts"); do
    ( flock -s "$work/gate" true; printf '%s' "$body" | "$hook" ) &
done
sleep 3
flock -u 9
wait $(jobs -p | grep -v "^$server\$") 2>/dev/null || true
finish
echo "== burst: $posts simultaneous posts of ${#body} bytes by the hook script: $handled reached the router"

serve
printf '%s' "$body" > "$work/body.json"
"$build/bench/tallyglass_post_events" "$port" "$work/body.json" "$posts" "$posts" >/dev/null || true
finish
echo "== burst: $posts simultaneous posts of ${#body} bytes from as many threads: $handled reached the router"

echo "== health checks, ten a second, 2 s each, while connections hold on"
serve
"$build/bench/tallyglass_trickle_probe" "$port" "$tricklers" "$probes" trickle || true
finish
serve
"$build/bench/tallyglass_trickle_probe" "$port" "$tricklers" "$probes" idle || true
finish
