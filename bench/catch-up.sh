#!/usr/bin/env bash
# What the catch-up at start costs: a generated history of the given size is
# imported, made old, then 1% of its files gain a reply, and `tallyglass
# --headless` is timed from its start to the end of its catch-up; once more
# with nothing changed.
#
#   bench/catch-up.sh [build-dir] [megabytes, default 1024]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
megabytes=${2:-1024}
if [ -z "${TALLYGLASS_IN_NAMESPACE:-}" ]; then
  export TALLYGLASS_IN_NAMESPACE=1
  exec tests/e2e/in-private-network.sh "$0" "$build" "$megabytes"
fi
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
source bench/aged-history.sh

# Milliseconds from the start of `tallyglass --headless` to its catch-up line.
time_catch_up() {
  local started line
  started=$(date +%s%N)
  # exec: the signal below must reach the program, which holds the one-instance lock, not a shell around it.
  coproc app { exec "$bin" --headless 2>&1; }
  while IFS= read -r line <&"${app[0]}"; do
    if [[ $line == *"catch-up done"* ]]; then
      echo "  $(( ($(date +%s%N) - started) / 1000000 )) ms: ${line#\[tallyglass\] }"
      break
    fi
  done
  kill -TERM "$app_PID"
  wait "$app_PID" || true
}

files=$(find "$projects" -name '*.jsonl' -not -path '*/tool-results/*' | sort)
count=$(wc -l <<< "$files")
changed=$(( (count + 99) / 100 ))
echo "== $changed of $count transcript files gained a reply"
head -n "$changed" <<< "$files" | while read -r f; do
  printf '{"type":"assistant","sessionId":"later","timestamp":"2026-01-01T00:00:00Z","message":{"id":"later-%s","usage":{"output_tokens":1}}}\n' \
    "$RANDOM$RANDOM" >> "$f"
done
time_catch_up
echo "== nothing changed since"
time_catch_up
