# Sourced by the benchmarks that start from an imported history made old: in a
# private $HOME under $work, generates $megabytes of transcripts, imports them
# and dates every file two hours back. Sets $bin and $projects.
bin=$build/src/tallyglass
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
projects=$HOME/.claude/projects
mkdir -p "$projects"

"$build/bench/tallyglass_generate_history" "$projects" "$megabytes"
"$bin" import | tail -1
find "$projects" -type f -exec touch -d '2 hours ago' {} +
