#!/usr/bin/env bash
# Whether `tallyglass blocks` finds the five-hour blocks a terminal tool users
# know finds (npm `ccusage`, pinned): on one generated history, the start of
# every block must be the same. Run by hand, never in CI: it installs the
# package from npm (once, into build/peer-cache/) and runs it offline.
#
#   bench/blocks-vs-peer.sh [build-dir] [megabytes, default 100]
#
# Sessions begin after pauses around five hours (the generator's "pauses"),
# so block boundaries both from a block's length and from a gap are met. The
# tool-results folders the generator writes are removed first: the peer
# reads them as transcripts and would count their lines as messages.
# Prints both lists' sizes, every difference, and exits 1 on one.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
megabytes=${2:-100}
source bench/peer.sh

peer_history "$megabytes" pauses
echo "history: $(find "$projects" -name '*.jsonl' | wc -l) transcripts, $(du -sm "$projects" | cut -f1) MB"

"$build/src/tallyglass" import | tail -1
ours=$work/ours.txt
theirs=$work/theirs.txt
"$build/src/tallyglass" blocks --all --json --no-update | jq -r '.blocks[].start' | sed -E 's/\.[0-9]+Z$/Z/' > "$ours"
"$peer" blocks --json --offline | jq -r '.blocks[] | select(.isGap | not) | .startTime' | sed -E 's/\.[0-9]+Z$/Z/' \
  > "$theirs"
echo "blocks: tallyglass $(wc -l < "$ours"), ccusage $peer_version $(wc -l < "$theirs")"
if diff -u --label tallyglass --label "ccusage $peer_version" "$ours" "$theirs"; then
  echo "every block starts at the same time"
else
  echo "blocks-vs-peer: the block starts differ (lines above: - only ours, + only the peer's)"
  exit 1
fi
