#!/usr/bin/env bash
# run-tests.sh BUILD_DIR [ctest args...]
# Runs the tests of one build folder. Tests labelled "broker" get a mosquitto broker on a free
# loopback port (PELMO_BUS_PORT) for the length of the run.
set -euo pipefail
build=$1; shift
here=$(cd "$(dirname "$0")" && pwd)
broker_pid=""
cleanup() { if [ -n "$broker_pid" ]; then kill "$broker_pid" 2>/dev/null || true; wait "$broker_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT
if [ -x "$here/broker.sh" ] && [ -z "${PELMO_BUS_PORT:-}" ]; then
  eval "$("$here/broker.sh" start)"
  broker_pid=${BROKER_PID:-}
fi
cd "$build"
ctest --output-on-failure --timeout 600 -j 2 "$@"
