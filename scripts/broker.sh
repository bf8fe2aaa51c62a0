#!/usr/bin/env bash
# broker.sh start [--port PORT]   starts a mosquitto broker on 127.0.0.1 and prints shell lines:
#                                   export PELMO_BUS_PORT=...; BROKER_PID=...
# broker.sh stop PID              stops a broker started by this script.
# Without --port a free loopback port is chosen. The broker keeps nothing on disk.
# $MOSQUITTO names the broker program when it is not the one on PATH or in /usr/sbin.
set -euo pipefail

usage() { echo "usage: $0 start [--port PORT] | stop PID" >&2; exit 2; }

port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start_on() {
  local port=$1 dir pid i
  dir=$(mktemp -d "${TMPDIR:-/tmp}/pelmo-broker.XXXXXX")
  # Started as root, mosquitto would switch to the "mosquitto" user and lose access to root-owned
  # folders; "user root" keeps it as it is. Without TCP_NODELAY every QoS 1 round trip waits ~40 ms.
  cat >"$dir/mosquitto.conf" <<CONF
user root
listener $port 127.0.0.1
allow_anonymous true
set_tcp_nodelay true
persistence false
log_dest stderr
log_type error
log_type warning
max_queued_messages 10000
CONF
  "$MOSQUITTO" -c "$dir/mosquitto.conf" </dev/null >"$dir/log" 2>&1 &
  pid=$!
  for i in $(seq 1 100); do
    if ! kill -0 "$pid" 2>/dev/null; then
      cat "$dir/log" >&2
      rm -rf "$dir"
      return 1
    fi
    if port_busy "$port"; then
      # Something answers; it is our broker only if that is still running a moment later (one
      # that could not bind ends at once).
      sleep 0.1
      if ! kill -0 "$pid" 2>/dev/null; then
        cat "$dir/log" >&2
        rm -rf "$dir"
        return 1
      fi
      # The broker has read its configuration; the log stays open until it ends.
      rm -rf "$dir"
      echo "export PELMO_BUS_PORT=$port; BROKER_PID=$pid"
      return 0
    fi
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  echo "broker.sh: mosquitto did not listen on port $port within 5 s" >&2
  rm -rf "$dir"
  return 1
}

cmd=${1:-}; shift || true
case "$cmd" in
  start)
    port=""
    if [ "${1:-}" = "--port" ]; then
      [ $# -ge 2 ] || { echo "broker.sh: --port needs a value" >&2; exit 2; }
      port=$2
      [ -n "$port" ] || { echo "broker.sh: --port needs a value" >&2; exit 2; }
    elif [ -n "${1:-}" ]; then
      usage
    fi
    # Debian puts the broker in /usr/sbin, which is not on an ordinary user's PATH.
    MOSQUITTO=${MOSQUITTO:-$(command -v mosquitto || true)}
    if [ -z "$MOSQUITTO" ] && [ -x /usr/sbin/mosquitto ]; then MOSQUITTO=/usr/sbin/mosquitto; fi
    if [ -z "$MOSQUITTO" ] || [ ! -x "$MOSQUITTO" ]; then
      echo "broker.sh: mosquitto is not installed (Debian package mosquitto); the bus tests need it" >&2
      exit 1
    fi
    if [ -n "$port" ]; then
      case "$port" in
        ''|*[!0-9]*) echo "broker.sh: --port needs a port number, not \"$port\"" >&2; exit 2 ;;
      esac
      if [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
        echo "broker.sh: port $port is out of range (1-65535)" >&2; exit 2
      fi
      if port_busy "$port"; then
        echo "broker.sh: port $port on 127.0.0.1 is already in use; no broker started" >&2
        exit 1
      fi
      start_on "$port" && exit 0
      echo "broker.sh: mosquitto could not start on port $port" >&2
      exit 1
    fi
    for attempt in $(seq 1 20); do
      port=$(( 20000 + RANDOM % 40000 ))
      port_busy "$port" && continue
      start_on "$port" && exit 0
    done
    echo "broker.sh: found no free loopback port for mosquitto" >&2
    exit 1
    ;;
  stop)
    pid=${1:-}
    [ -n "$pid" ] || usage
    kill "$pid" 2>/dev/null || exit 0
    for i in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || exit 0
      sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
    ;;
  *) usage ;;
esac
