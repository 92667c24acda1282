#!/usr/bin/env bash
# Runs a panel command with the relay-board simulator beside it, so the panel can be tried with no
# board attached: starts relaysim in the background, adds its port to EXTRA_SERIAL_PORTS (where the
# port setup dialog finds it, beside any real adapter), runs the command and stops the simulator when
# the command ends, however it ends. SIGINT, SIGTERM or SIGHUP to this script end the command too.
#
# Usage: with-sim.sh [--sim PATH] [--script FILE] [--] PANEL [ARGS...]
#   --sim PATH      the simulator (default: $RELAYSIM, else build/default/bin/relaysim)
#   --script FILE   steps for the simulator to play (see relaysim --help)
# RELAYSIM_VERBOSE=1 traces the line traffic on standard error.
# While it runs, the simulator takes commands such as "input 3 on" from a FIFO whose path it prints.
set -euo pipefail

usage() { sed -n '7,11p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
sim="${RELAYSIM:-$root/build/default/bin/relaysim}"
sim_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sim) sim="${2:?--sim needs a path}"; shift 2 ;;
    --script) sim_args+=(--script "${2:?--script needs a file}"); shift 2 ;;
    -h | --help) usage; exit 0 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
if [ $# -eq 0 ]; then
  usage >&2
  exit 2
fi
if [ "${RELAYSIM_VERBOSE:-0}" = 1 ]; then
  sim_args+=(--verbose)
fi

# Qt's offscreen and minimal platforms need no display; every other one does.
case "${QT_QPA_PLATFORM:-}" in
  offscreen* | minimal*) ;;
  *)
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
      cat >&2 <<'TEXT'
There is no display to show the panel on: neither DISPLAY nor WAYLAND_DISPLAY is set.
Run it from a desktop session, or on a virtual X server:
    xvfb-run -a scripts/run
TEXT
      exit 1
    fi
    ;;
esac

if [ ! -x "$sim" ]; then
  echo "The simulator is not built ($sim is missing)." >&2
  exit 1
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/dudovuz-sim.XXXXXX")
sim_pid=""
drain_pid=""
cleanup() {
  # The command first, so that it never outlives the port it was given: every job that is not the
  # simulator or its reader. It is taken from the job list because a signal may come between its
  # start and the line that notes its pid; a job already waited for is no longer listed.
  local pid
  for pid in $(jobs -p); do
    if [ "$pid" != "$sim_pid" ] && [ "$pid" != "$drain_pid" ]; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [ -n "$drain_pid" ]; then
    wait "$drain_pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mkfifo "$dir/control" "$dir/output"
# The control FIFO is the simulator's standard input, opened for reading and writing so that it
# never reaches its end while people come and go with "echo ... > control".
"$sim" "${sim_args[@]}" <>"$dir/control" >"$dir/output" &
sim_pid=$!
exec {output}<"$dir/output"
port=""
# The first line is the port's path; if the simulator fails, the FIFO ends and port stays empty.
read -r -t 30 port <&"$output" || true
if [ -z "$port" ]; then
  echo "The simulator did not start." >&2
  exit 1
fi
# What it prints later (answers to "state" and "help") goes to our standard error.
cat <&"$output" >&2 &
drain_pid=$!
exec {output}<&-

export EXTRA_SERIAL_PORTS="$port${EXTRA_SERIAL_PORTS:+:$EXTRA_SERIAL_PORTS}"
echo "The simulated relay board is on $port; choose it in the port setup dialog." >&2
echo "Move its inputs from another terminal, e.g.: echo 'input 3 on' > $dir/control" >&2

# The command runs in the background, where a signal to this script does not wait for it to end: the
# shell runs a trap only between commands, and "wait" is the one that a trapped signal interrupts.
# (A background command ignores SIGINT; the cleanup stops it with SIGTERM.) It keeps our input.
"$@" <&0 &
status=0
wait $! || status=$?
exit "$status"
