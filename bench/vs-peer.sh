#!/usr/bin/env bash
# Tallyglass beside a terminal tool users know (npm `ccusage`, pinned; see
# bench/peer.sh) on one generated history, files made two hours old:
#   - the first `tallyglass import` against `ccusage daily --json --offline`;
#   - `tallyglass report --by day --days 365 --json` (history unchanged), the
#     same over the whole history (`--all`), and the first again right after a
#     line was appended to every transcript, each against the peer's daily report;
# then the Full Report probe (when built) and the 60 MiB-body memory probe.
# Each figure is the median of the runs; the ratio is the peer's time over
# ours. After the appended lines the report must equal one from a fresh
# import (exits 1 when not). Run by hand, never in CI.
#
#   bench/vs-peer.sh [build-dir] [megabytes, default 1024] [runs, default 3]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
megabytes=${2:-1024}
runs=${3:-3}
source bench/peer.sh
bin=$build/src/tallyglass

peer_history "$megabytes"
mapfile -t transcripts < <(find "$projects" -name '*.jsonl' | sort)
echo "history: ${#transcripts[@]} transcripts, $(du -sb "$projects" | cut -f1) bytes"

ms() { # runs the command quietly; prints its wall time in milliseconds
  local started
  started=$(date +%s%N)
  "$@" > /dev/null
  echo $(( ($(date +%s%N) - started) / 1000000 ))
}
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
report() { "$bin" report --by day --days 365 --json "$@"; }
peer_daily() { "$peer" daily --json --offline; }

declare -a import_ours import_peer same_ours same_peer whole_ours grown_ours grown_peer
for run in $(seq "$runs"); do
  rm -rf "$HOME/.config/tallyglass"
  find "$projects" -type f -exec touch -d '2 hours ago' {} +
  import_ours+=("$(ms "$bin" import)")
  import_peer+=("$(ms peer_daily)")
  same_ours+=("$(ms report)")
  same_peer+=("$(ms peer_daily)")
  # The generated history's dates are fixed: once they lie more than a year
  # back, the year above holds none of them. Every message, as the peer reads them:
  whole_ours+=("$(ms "$bin" report --by day --all --json)")
  for f in "${transcripts[@]}"; do tail -n 1 "$f" > "$work/line"; cat "$work/line" >> "$f"; done
  grown_ours+=("$(ms report)")
  grown_peer+=("$(ms peer_daily)")
  echo "run $run: import ${import_ours[-1]}/${import_peer[-1]} ms, report ${same_ours[-1]}/${same_peer[-1]} ms (all of it ${whole_ours[-1]} ms)," \
    "after appending ${grown_ours[-1]}/${grown_peer[-1]} ms (ours/peer)"
done

# What the catch-ups stored against a fresh import of the transcripts as they are now.
caught_up=$("$bin" report --all --json --no-update | jq -S 'del(.dataUpTo)')
rm -rf "$HOME/.config/tallyglass"
"$bin" import > /dev/null
fresh=$("$bin" report --all --json --no-update | jq -S 'del(.dataUpTo)')

ratio() { awk -v peer="$1" -v ours="$2" 'BEGIN { printf "%.2fx", peer / (ours > 0 ? ours : 1) }'; }
line() { # figure, our runs..., then the peer's after "--"
  local name=$1 ours peer
  shift
  local -a mine=() theirs=()
  while [ "$1" != -- ]; do mine+=("$1"); shift; done
  shift
  theirs=("$@")
  ours=$(median "${mine[@]}")
  peer=$(median "${theirs[@]}")
  printf '%-48s %6s ms  ccusage %s %6s ms  %s\n' "$name" "$ours" "$peer_version" "$peer" "$(ratio "$peer" "$ours")"
}
echo "== medians of $runs runs (ratio: the peer's time over ours)"
line "first import" "${import_ours[@]}" -- "${import_peer[@]}"
line "report --by day --days 365 --json" "${same_ours[@]}" -- "${same_peer[@]}"
line "report --by day --all --json, nothing changed" "${whole_ours[@]}" -- "${same_peer[@]}"
line "the same after a line appended to every file" "${grown_ours[@]}" -- "${grown_peer[@]}"
if [ "$caught_up" = "$fresh" ]; then
  echo "after the appended lines, the report equals one from a fresh import"
else
  echo "vs-peer: the report after catch-ups differs from a fresh import's:"
  diff <(echo "$caught_up") <(echo "$fresh") | head -20
  exit 1
fi

if [ -x "$build/bench/tallyglass_report_probe" ]; then
  echo "== Full Report probe (tallyglass_report_probe)"
  for run in $(seq "$runs"); do QT_QPA_PLATFORM=offscreen "$build/bench/tallyglass_report_probe" | sed "s/^/run $run: /"; done
fi
echo "== memory probe, 60 MiB bodies (bench/memory-probe.sh big)"
for run in $(seq "$runs"); do bench/memory-probe.sh "$build" big | grep -E 'peak resident|PASS|FAIL' | sed "s/^/run $run: /"; done
