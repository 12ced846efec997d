#!/usr/bin/env bash
# End to end, with real processes: `tallyglass --headless`, `tallyglass hook
# install`, and the installed script run with bash and curl the way Claude
# Code runs it. Meant to run inside in-private-network.sh.
#
#   headless.sh <tallyglass binary>
set -uo pipefail
bin=$1
source "$(dirname "$0")/common.sh"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
unset CLAUDE_CONFIG_DIR
mkdir -p "$HOME/.claude/projects/proj"
db=$HOME/.config/tallyglass/app.db

sql() { sqlite3 "$db" "$1" 2>/dev/null; }
assistant_line() { # id session output
  printf '{"type":"assistant","sessionId":"%s","timestamp":"%s","message":{"id":"%s","model":"claude-sonnet-4-6","usage":{"input_tokens":1000,"output_tokens":%s,"cache_creation_input_tokens":2000,"cache_read_input_tokens":10000}}}\n' \
    "$2" "$(date -u +%Y-%m-%dT%H:%M:%S.000Z)" "$1" "$3"
}

# History from before the first start, and the user's own status line.
assistant_line msg_history_1 old-session 500 > "$HOME/.claude/projects/proj/old.jsonl"
echo '{"statusLine":{"type":"command","command":"echo my-status-line"},"model":"opus"}' > "$HOME/.claude/settings.json"

[ "$("$bin" hook install)" = "hook installed for port 45832" ] || fail "hook install"
statusline="~/.config/tallyglass/app-hook --tee | eval 'echo my-status-line'"
chained='"command": "~\/.config\/tallyglass\/app-hook --tee | eval '"'echo my-status-line'"'"'
grep -qF "$chained" "$HOME/.claude/settings.json" || fail "status line not chained: $(cat "$HOME/.claude/settings.json")"
# As an earlier version chained it: the start rewrites it.
sed -i "s/app-hook --tee | eval 'echo my-status-line'/app-hook -- echo my-status-line/" "$HOME/.claude/settings.json"
grep -qF "$chained" "$HOME/.claude/settings.json" && fail "the status line was not put back in its old form"

"$bin" --headless > "$work/headless.log" 2> "$work/headless-err.log" &
pid=$!
until_true 10 'curl -sf http://localhost:45832/health' || fail "server did not come up"
grep -qF "$chained" "$HOME/.claude/settings.json" || fail "old status line not upgraded: $(cat "$HOME/.claude/settings.json")"
grep -qx '\[tallyglass\] server listening on :45832' "$work/headless.log" || fail "no listening line"
until_true 10 '[ "$(sql "SELECT COUNT(*) FROM messages WHERE messageId = '"'msg_history_1'"'")" = 1 ]' || fail "history not imported"
until_true 10 '[ -n "$(sql "SELECT value FROM app_state WHERE key = '"'history.imported'"'")" ]' || fail "first import not marked in the database"

echo "== a Stop event through the installed script is stored and priced"
transcript=$HOME/.claude/projects/proj/live.jsonl
assistant_line msg_live_1 live-session 500 > "$transcript"
started=$(date +%s%N)
printf '{"hook_event_name":"Stop","session_id":"live-session","transcript_path":"%s"}' "$transcript" \
  | bash -c '~/.config/tallyglass/app-hook' || fail "script failed"
until_true 10 '[ "$(sql "SELECT cost FROM messages WHERE messageId = '"'msg_live_1'"'")" = 0.021 ]' || fail "event not stored"
echo "   stored after $(( ($(date +%s%N) - started) / 1000000 )) ms"

echo "== a status-line payload passes the user's line through and stores the limits"
out=$(printf '{"rate_limits":{"five_hour":{"used_percentage":42,"resets_at":1735689600},"seven_day":{"used_percentage":7.5,"resets_at":1736294400}}}' \
  | bash -c "$statusline") || fail "status line failed"
[ "$out" = "my-status-line" ] || fail "status line printed '$out'"
limits_query="SELECT five_hour_utilization || '|' || five_hour_resets_at || '|' || seven_day_utilization FROM usage_limits"
until_true 10 '[ "$(sql "$limits_query")" = "42.0|2025-01-01T00:00:00Z|7.5" ]' || fail "limits not stored"

echo "== a reading past a threshold is warned on standard output, once"
soon=$(( $(date +%s) + 7200 ))
reading() {
  printf '{"rate_limits":{"five_hour":{"used_percentage":%s,"resets_at":%s}}}' "$1" "$soon" \
    | bash -c "$statusline" > /dev/null
}
# Events are handled on threads of their own, in no set order: the second
# reading goes once the first has been taken in.
reading 85
until_true 10 'grep -q "^warning: 5-hour limit at 85% — resets at " "$work/headless.log"' || fail "no warning: $(cat "$work/headless.log")"
reading 86
until_true 10 '[ "$(sql "SELECT COUNT(*) FROM limit_readings")" = 3 ]' || fail "readings not kept: $(sql "SELECT * FROM limit_readings")"
sleep 0.5 # a second warning would follow its reading at once: there is no event to wait for
[ "$(grep -c '^warning: ' "$work/headless.log")" = 1 ] || fail "warned more than once: $(grep '^warning' "$work/headless.log")"

"$bin" report --days 3650 --json > "$work/report.log" || fail "report failed"
grep -q '"messages": 2' "$work/report.log" || fail "report does not count both messages"

echo "== a reply written after its Stop hook ran is stored"
printf '{"hook_event_name":"Stop","session_id":"live-session","transcript_path":"%s"}' "$transcript" \
  | bash -c '~/.config/tallyglass/app-hook'
sleep 0.6
assistant_line msg_after_hook live-session 7 >> "$transcript"
until_true 10 '[ "$(sql "SELECT COUNT(*) FROM messages WHERE messageId = '"'msg_after_hook'"'")" = 1 ]' || fail "late reply not stored"

echo "== a second process for the same user does not start"
"$bin" --headless > "$work/second.log" 2>&1 && fail "a second process started"
grep -qx "\[tallyglass\] already running (process $pid); this one ends" "$work/second.log" || fail "second: $(cat "$work/second.log")"
grep -q 45833 "$HOME/.config/tallyglass/app-hook" && fail "the second process moved the hook"

echo "== SIGTERM ends the process cleanly"
kill -TERM "$pid"
wait "$pid"; status=$?
[ "$status" = 0 ] || fail "exit status $status after SIGTERM"

echo "== what sessions wrote while it was stopped is caught up at the next start"
assistant_line msg_while_stopped live-session 3 >> "$transcript"
assistant_line msg_new_session other-session 4 > "$HOME/.claude/projects/proj/other.jsonl"
# A damaged count stores the message held to the bound and the rest of the file.
printf '{"type":"assistant","sessionId":"other-session","timestamp":"2025-01-01T00:00:00Z","message":{"id":"msg_huge","usage":{"input_tokens":1e20}}}\n' \
  >> "$HOME/.claude/projects/proj/other.jsonl"
assistant_line msg_after_huge other-session 5 >> "$HOME/.claude/projects/proj/other.jsonl"
"$bin" --headless > "$work/restart.log" 2> "$work/restart-err.log" &
pid=$!
until_true 10 '[ "$(sql "SELECT COUNT(*) FROM messages WHERE messageId IN ('"'msg_while_stopped','msg_new_session','msg_huge','msg_after_huge'"')")" = 4 ]' \
  || fail "not caught up"
[ "$(sql "SELECT inputTokens FROM messages WHERE messageId = 'msg_huge'")" = 1000000000000 ] || fail "count not held to its bound"
until_true 10 'grep -q "catch-up done" "$work/restart.log"' || fail "no catch-up line"
kill -TERM "$pid"
wait "$pid"

echo "== a port held by another process moves the server and rewrites the installed script"
HOME=$work/other XDG_CONFIG_HOME=$work/other/.config "$bin" --headless > "$work/holder.log" 2>&1 &
holder=$!
until_true 10 'curl -sf http://localhost:45832/health' || fail "holder did not come up"
"$bin" --headless > "$work/moved.log" 2> "$work/moved-err.log" &
pid=$!
until_true 10 'grep -qx "\[tallyglass\] server listening on :45833" "$work/moved.log"' || fail "did not move to 45833"
until_true 10 'grep -qx PORT=45833 "$HOME/.config/tallyglass/app-hook"' || fail "script not rewritten"
[ "$("$bin" hook status)" = installed ] || fail "hook no longer installed"
grep -q 'tallyglass.server.port=45833' "$XDG_CONFIG_HOME/tallyglass/tallyglass.conf" || fail "port not remembered"
printf '{"hook_event_name":"Stop","session_id":"live-session","transcript_path":"%s"}' "$transcript" \
  | bash -c '~/.config/tallyglass/app-hook' || fail "script failed on the new port"
assistant_line msg_live_2 live-session 10 >> "$transcript"
printf '{"hook_event_name":"Stop","session_id":"live-session","transcript_path":"%s"}' "$transcript" \
  | bash -c '~/.config/tallyglass/app-hook'
until_true 10 '[ "$(sql "SELECT COUNT(*) FROM messages WHERE messageId = '"'msg_live_2'"'")" = 1 ]' || fail "event on the new port not stored"
kill -TERM "$pid" "$holder"
wait "$pid"; status=$?
[ "$status" = 0 ] || fail "exit status $status after SIGTERM"
echo "1 passed, 0 failed"
