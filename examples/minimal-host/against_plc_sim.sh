#!/bin/sh
# against_plc_sim.sh PLC_SIM MINIMAL_HOST PLUGIN: starts the simulated PLC on
# a free loopback port, closing the connection at every 5th request, runs
# the minimal host against it and stops the simulator by its PID.
set -eu
sim=$1 host=$2 plugin=$3
out=$(mktemp)
"$sim" --port 0 --close-every 5 >"$out" 2>/dev/null &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -f "$out"' EXIT
port=
for _ in $(seq 50); do
    port=$(awk '/^PORT/ {print $2}' "$out")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "plc_sim did not start" >&2; exit 1; }
"$host" "$plugin" 127.0.0.1 "$port"
