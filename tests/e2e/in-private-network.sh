#!/usr/bin/env bash
# Runs a command in a private network namespace with only the loopback device
# up, so that end-to-end tests never meet a copy of the application running on
# the machine. Where a mount namespace can be had too, /tmp is the command's
# own: X servers of runs side by side (another checkout, a benchmark) then
# share no display numbers, locks or sockets. Exits 77 (skipped) where no
# network namespace can be made.
set -u
inside='ip link set lo up && exec "$@"'
private_tmp='mount -t tmpfs -o mode=1777 tmpfs /tmp && '
if unshare -rnm true 2>/dev/null; then
  exec unshare -rnm bash -c "$private_tmp$inside" bash "$@"
elif unshare -nm true 2>/dev/null; then
  exec unshare -nm bash -c "$private_tmp$inside" bash "$@"
elif unshare -rn true 2>/dev/null; then
  exec unshare -rn bash -c "$inside" bash "$@"
elif unshare -n true 2>/dev/null; then
  exec unshare -n bash -c "$inside" bash "$@"
fi
echo "no private network namespace available here; skipping"
exit 77
