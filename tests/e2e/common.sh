# Sourced by the end-to-end scripts: a scratch folder that goes with the
# script's processes, a failure that shows every log, and polling.

work=$(mktemp -d)

# The script's processes are waited for, not only signalled: an X server still
# shutting down when the next run starts removes the socket that run's server
# has just made under the same display number.
end_jobs() {
  local pids; pids=$(jobs -p)
  [ -n "$pids" ] || return 0
  kill $pids 2>/dev/null
  local pid
  for pid in $pids; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null
  done
  return 0
}
trap 'end_jobs; rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log; do echo "--- $log"; cat "$log"; done
  exit 1
}

# until_true <seconds> '<shell test>': evaluates the test afresh every 50 ms.
until_true() {
  local deadline=$(( $(date +%s%N) + $1 * 1000000000 )); shift
  while [ "$(date +%s%N)" -lt "$deadline" ]; do eval "$1" >/dev/null 2>&1 && return 0; sleep 0.05; done
  return 1
}
