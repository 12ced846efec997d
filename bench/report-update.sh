#!/usr/bin/env bash
# What `tallyglass report` pays to stay current: on a generated history of the
# given size, imported and made old, the report is timed with its update step
# (nothing changed) and with --no-update, for one day and for a year of days as
# JSON; then once with 1% of the files grown.
#
#   bench/report-update.sh [build-dir] [megabytes, default 1024]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
megabytes=${2:-1024}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source bench/aged-history.sh
# The last import began now: move its mark back as if it had run two hours ago.
sqlite3 "$HOME/.config/tallyglass/app.db" \
  "UPDATE app_state SET value = '$(date -u -d '2 hours ago' +%Y-%m-%dT%H:%M:%SZ)' WHERE key = 'catchUp.watermark';"

# Median wall time in milliseconds of five runs of the report with the given options.
median_ms() {
  local runs=() started
  for _ in 1 2 3 4 5; do
    started=$(date +%s%N)
    "$bin" report "$@" > /dev/null
    runs+=($(( ($(date +%s%N) - started) / 1000000 )))
  done
  printf '%s\n' "${runs[@]}" | sort -n | sed -n 3p
}

started=$(date +%s%N); "$bin" --version > /dev/null
echo "process start (--version):     $(( ($(date +%s%N) - started) / 1000000 )) ms"
echo "report --no-update:            $(median_ms --days 1 --no-update) ms"
echo "report (nothing changed):      $(median_ms --days 1) ms"
year=(--by day --days 365 --json)
echo "report ${year[*]} --no-update:       $(median_ms "${year[@]}" --no-update) ms"
echo "report ${year[*]} (nothing changed): $(median_ms "${year[@]}") ms"
mapfile -t all < <(find "$projects" -name '*.jsonl' | sort)
files=${#all[@]}
for f in "${all[@]:0:$(( files / 100 + 1 ))}"; do tail -n 1 "$f" > "$f.line"; cat "$f.line" >> "$f"; rm "$f.line"; done
started=$(date +%s%N)
"$bin" report --days 1 > /dev/null
echo "report (1% of $files files grew): $(( ($(date +%s%N) - started) / 1000000 )) ms"
