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

# A temporary $HOME, removed at exit, holding a generated history that both
# sides read and nothing of the user's (the peer looks under ~/.claude and
# ~/.config/claude): sets $work and $projects. Arguments after the size go to
# the generator.
peer_history() {
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config TZ=UTC
  export CLAUDE_CONFIG_DIR=$HOME/.claude
  projects=$CLAUDE_CONFIG_DIR/projects
  mkdir -p "$projects"
  "$build/bench/tallyglass_generate_history" "$projects" "$@" > /dev/null
  # The peer reads tool-results folders as transcripts; neither side gets them.
  find "$projects" -type d -name tool-results -prune -exec rm -rf {} +
}
