# Sourced by the end-to-end scripts: a scratch folder that goes with the
# script's processes, a failure that shows every log, and polling.

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

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
