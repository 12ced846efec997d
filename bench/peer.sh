# Sourced by the benchmarks that set Tallyglass beside a terminal tool users
# know (npm `ccusage`, pinned): installs it once into $build/peer-cache/ and
# sets $peer and $peer_version. Run by hand, never in CI; the peer then runs
# offline.
peer_version=20.0.24
peer_cache=$build/peer-cache/ccusage-$peer_version
peer=$peer_cache/node_modules/.bin/ccusage
for tool in npm node jq; do
  command -v "$tool" > /dev/null || { echo "$(basename "$0"): needs $tool (apt install npm jq)"; exit 2; }
done
if [ ! -x "$peer" ]; then
  echo "$(basename "$0"): installing ccusage $peer_version into $peer_cache"
  mkdir -p "$peer_cache"
  npm install --prefix "$peer_cache" --no-audit --no-fund --loglevel=error "ccusage@$peer_version" > /dev/null
fi
