#!/usr/bin/env bash
# demo.sh [BUILD_DIR]: the main job on the built-in demo broadcast, with no hardware and nothing
# configured. Installs the packages, builds, starts a message bus broker on loopback when none
# runs, scans the demo's DVB-T channels, watches one and changes to another, and leaves a
# playable file and a PNG in $DEMO_OUT (default ./demo-output). Every step says what failed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD:-build}}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
jobs=${JOBS:-$(nproc)}
out=${DEMO_OUT:-$root/demo-output}
tool="$build/tools/pelmo-streamer/pelmo-streamer"
port=${PELMO_BUS_PORT:-1883}

# The demo's channels (catalogue data/demo/broadcast.xml): DVB-T paths are
# frequency kHz/bandwidth MHz/ONID/TSID/SID.
demo_one="device://tv.channel.dvbt/#/474000/8/8916/4100/4164"
demo_news="device://tv.channel.dvbt/#/538000/8/8916/4101/4228"

started_broker=""
cleanup() {
  if [ -n "$started_broker" ]; then
    bash "$root/scripts/broker.sh" stop "$started_broker" || true
    echo "demo: stopped the broker it had started (pid $started_broker)"
  fi
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
fail() {
  printf '\ndemo: FAILED at "%s": %s\n' "$current" "$1" >&2
  [ -n "${2:-}" ] && printf '%s\n' "$2" >&2
  exit 1
}
current="start"

current="installing packages"
step "Installing the Debian packages the project needs (scripts/install-deps.sh)"
bash "$root/scripts/install-deps.sh" || fail "the package installation failed" \
  "  run it as root or with sudo: bash scripts/install-deps.sh"

current="building"
step "Building into $build (this generates the demo broadcast too)"
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi
cmake -S "$root" -B "$build" -G Ninja >/dev/null || fail "cmake could not configure $build"
cmake --build "$build" -j "$jobs" || fail "the build failed (the compiler's messages are above)"
[ -x "$tool" ] || fail "$tool was not built"
[ -f "$build/data/demo/broadcast.xml" ] || fail "the demo broadcast was not generated" \
  "  expected $build/data/demo/broadcast.xml (target demo_broadcast)"

begin=$(date +%s)
mkdir -p "$out"

current="starting the message bus"
step "Message bus: a mosquitto broker on 127.0.0.1:$port"
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "demo: something already listens on 127.0.0.1:$port; using it as the broker"
else
  lines=$(bash "$root/scripts/broker.sh" start --port "$port") ||
    fail "no broker could be started on 127.0.0.1:$port" "  install mosquitto, or set PELMO_BUS_PORT to a free port"
  eval "$lines"
  started_broker=$BROKER_PID
  echo "demo: started a broker (pid $started_broker); it is stopped at the end"
fi
export PELMO_BUS_PORT=$port

# From here on a failed step is reported and the next one still runs: each shows its own part.
failed=()
broke() {
  printf 'demo: step "%s" FAILED: %s\n' "$current" "$1" >&2
  failed+=("$current")
}

current="scanning"
step "Scanning the demo's DVB-T channels (country 44: DVBTfrequencies_B8.txt)"
echo "demo: 49 frequencies; on each one without a multiplex the tuner's signal test gives up after"
echo "      about 2.5 s, so the scan takes two to three minutes"
if "$tool" scan "tuner://tv.channel.dvbt/#/x" --country 44 | tee "$out/channels.txt"; then
  grep -q "Demo One" "$out/channels.txt" || broke "the scan did not find Demo One (its list: $out/channels.txt)"
else
  broke "the scan did not complete (pelmo-streamer said why above)"
fi

current="describing"
step "What Demo One delivers, compressed"
"$tool" describe "$demo_one" --compressed || broke "Demo One could not be opened (pelmo-streamer said why above)"

current="watching and changing channel"
step "Watching Demo One for 4 s, then Demo News for 4 s, into one file"
"$tool" watch "$demo_one" --compressed --seconds 8 --zap "$demo_news" -o "$out/demo-one-then-news.ts" ||
  broke "watching did not complete (pelmo-streamer said why above)"

current="taking a snapshot"
step "A snapshot of Demo One"
"$tool" snapshot "$demo_one" -o "$out/demo-one.png" || broke "no snapshot (pelmo-streamer said why above)"

current="watching decoded frames"
step "Two seconds of Demo One as decoded frames and PCM"
"$tool" watch "$demo_one" --raw --seconds 2 -o "$out/demo-one-raw.mkv" ||
  broke "watching decoded frames did not complete (pelmo-streamer said why above)"

current="summing up"
took=$(( $(date +%s) - begin ))
step "Finished in ${took} s after the build. What the demo left in $out:"
for f in channels.txt demo-one-then-news.ts demo-one.png demo-one-raw.mkv; do
  if [ ! -s "$out/$f" ]; then
    printf '  %-24s (not written)\n' "$f"
    continue
  fi
  size=$(stat -c %s "$out/$f")
  what=""
  if command -v ffprobe >/dev/null 2>&1 && [ "$f" != channels.txt ]; then
    what=$(ffprobe -v error -show_entries stream=codec_name,width,height:format=duration \
      -of compact=p=0:nk=1 "$out/$f" 2>/dev/null | tr '\n' ' ')
  fi
  printf '  %-24s %10s bytes  %s\n' "$f" "$size" "$what"
done
if [ -s "$out/demo-one-then-news.ts" ]; then
  printf '\nPlay it:     ffplay %s     (or mpv, vlc)\n' "$out/demo-one-then-news.ts"
fi
if [ -s "$out/demo-one.png" ]; then
  printf 'Look:        %s\n' "$out/demo-one.png"
fi
cat <<EOF
The plug-in's log: ${PELMO_APPDATA:-$build/pelmo/appdata}/Kelvarin/Logs/Skyvane.log
EOF
if [ ${#failed[@]} -gt 0 ]; then
  joined=$(printf '%s, ' "${failed[@]}")
  printf '\ndemo: FAILED steps: %s\n' "${joined%, }" >&2
  exit 1
fi
echo "demo: every step passed"
