#!/usr/bin/env bash
# The board in home automation, on one machine and with no board: a private mosquitto on loopback,
# the simulator, relaymqtt between them, and a mosquitto_sub view of everything on the broker.
# SIGINT (Ctrl-C) or SIGTERM ends all four.
#
# Usage: mqtt.sh [BUILD_DIR]      (default build/default)
# MQTT_PORT chooses the broker's port (default 18830).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin="${1:-$root/build/default}/bin"
port="${MQTT_PORT:-18830}"
for program in "$bin/relaysim" "$bin/relaymqtt"; do
  [ -x "$program" ] || { echo "$program is not built." >&2; exit 1; }
done
mosquitto=$(PATH="$PATH:/usr/sbin" command -v mosquitto) || { echo "mosquitto is not installed." >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/dudovuz-mqtt.XXXXXX")
cleanup() {
  local pid
  # The bridge first, so that it says offline while the broker still listens.
  for pid in ${bridge_pid:-} ${sub_pid:-} ${sim_pid:-} ${broker_pid:-}; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cat >"$dir/mosquitto.conf" <<CONF
persistence false
log_dest stderr
listener $port 127.0.0.1
allow_anonymous true
CONF
"$mosquitto" -c "$dir/mosquitto.conf" 2>"$dir/mosquitto.log" &
broker_pid=$!
# It says it runs once it listens.
for _ in $(seq 100); do
  grep -q ' running$' "$dir/mosquitto.log" && break
  kill -0 "$broker_pid" 2>/dev/null || { cat "$dir/mosquitto.log" >&2; exit 1; }
  sleep 0.1
done

# The simulator reads its commands from a FIFO kept open for writing, as scripts/run does.
mkfifo "$dir/control" "$dir/output"
"$bin/relaysim" <>"$dir/control" >"$dir/output" &
sim_pid=$!
exec {output}<"$dir/output"
read -r -t 30 sim_port <&"$output" || { echo "The simulator did not start." >&2; exit 1; }
cat <&"$output" >/dev/null &

# Everything on the broker, retained or live, with its topic.
mosquitto_sub -h 127.0.0.1 -p "$port" -v -t '#' &
sub_pid=$!
"$bin/relaymqtt" --port "$sim_port" --broker "127.0.0.1:$port" --board sim >"$dir/bridge.log" 2>&1 &
bridge_pid=$!

cat >&2 <<TEXT
Broker 127.0.0.1:$port, board "sim" on $sim_port; the bridge's log is $dir/bridge.log.
From another terminal:
    mosquitto_pub -p $port -t dudovuz/sim/relay/1/set -m ON
    mosquitto_pub -p $port -t dudovuz/sim/relay/2/set -m '{"state":"ON","seconds":5}'
    mosquitto_pub -p $port -t dudovuz/sim/alarm/set -m ARM_AWAY
    echo 'input 3 on' > $dir/control        # the board's input 3 raises the alarm
TEXT
wait "$bridge_pid"
