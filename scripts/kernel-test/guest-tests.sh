# Runs inside the test VM (busybox sh, in /test): the drivers' devices first, then every device
# test program copied in, then the shipped module through the reference host (e2e/, laid out as
# an installation). The exit status is the number of failed steps; files for the host go to /out.
failed=0
export SKYVANE_KERNEL_TEST_VM=1
step() {
  name=$1; shift
  echo "guest: -- $name"
  if "$@"; then echo "guest: ok   $name"; else echo "guest: FAIL $name"; failed=$((failed + 1)); fi
}
nodes() { for n in "$@"; do [ -c "$n" ] || { echo "guest: no device $n"; return 1; }; done; }
step "vidtv devices" nodes /dev/dvb/adapter0/frontend0 /dev/dvb/adapter0/demux0 /dev/dvb/adapter0/dvr0
step "vivid devices" nodes /dev/video0
for t in ./*_device_test; do
  [ -x "$t" ] || continue
  step "$t" "$t" --gtest_brief=1
done

# The reference host with nothing configured: fresh settings, the bus on loopback.
streamer=/test/e2e/bin/pelmo-streamer
export PELMO_REGISTRY=/tmp/pelmo/registry PELMO_APPDATA=/tmp/pelmo/appdata PELMO_BUS_PORT=18830
unset PELMO_BROADCAST PELMO_TUNERS
scan() {
  "$streamer" scan tuner://tv.channel.dvbt/#/x --country 44 --json --timeout 60 >/tmp/scan.json 2>/tmp/scan.err
  rc=$?
  sed 's/^/guest: scan: /' /tmp/scan.err | tail -20
  echo "guest: scan found: $(cat /tmp/scan.json)"
  [ $rc -eq 0 ] || return 1
  grep -q '"name":"Beethoven"' /tmp/scan.json || { echo "guest: Beethoven was not found"; return 1; }
  path=$(sed -n 's/.*"name":"Beethoven","path":"\([^"]*\)".*/\1/p' /tmp/scan.json)
  case $path in
  # vidtv's NIT has no terrestrial delivery descriptor: the bandwidth is listed as 0.
  device://tv.channel.dvbt/#/474000/*/*/*/*) echo "$path" >/tmp/beethoven ;;
  *) echo "guest: Beethoven's path is '$path'"; return 1 ;;
  esac
}
log=/tmp/pelmo/appdata/Kelvarin/Logs/Skyvane.log
# vidtv's one service has no picture (its only stream is SMPTE 302M sound): the plug-in refuses to
# open it, as it does any source without a video stream, with that reason in its log.
sound_only() {
  [ -s /tmp/beethoven ] || { echo "guest: no path from the scan"; return 1; }
  "$streamer" watch "$(cat /tmp/beethoven)" --compressed --seconds 3 -o /tmp/beethoven.ts >/tmp/watch.out 2>/tmp/watch.err
  rc=$?
  sed 's/^/guest: watch: /' /tmp/watch.out /tmp/watch.err | tail -8
  [ $rc -eq 1 ] || { echo "guest: the watch ended with $rc, not 1 (the plug-in refused)"; return 1; }
  grep -q "source filter does not have video pin" $log || {
    echo "guest: the plug-in's log does not say the source has no video"; cp $log /out/ 2>/dev/null; return 1; }
}
# A tuner another program holds: the open is refused at once with the host's fixed text, and the
# plug-in's log and the host say why.
busy() {
  exec 3<>/dev/dvb/adapter0/frontend0 || { echo "guest: could not hold the front end"; return 1; }
  timeout 120 "$streamer" watch 'device://tv.channel.dvbt/#/474000/8/-1/-1/-1' --compressed --seconds 3 -o /tmp/busy.ts >/tmp/busy.out 2>/tmp/busy.err
  rc=$?
  exec 3>&-
  sed 's/^/guest: watch: /' /tmp/busy.out /tmp/busy.err | tail -8
  [ $rc -eq 1 ] || { echo "guest: the watch ended with $rc, not 1 (refused)"; return 1; }
  grep -q "This device is in use or not supported" /tmp/busy.err || { echo "guest: no fixed failure text"; return 1; }
  grep -q "is busy: another program is using the tuner" $log || { echo "guest: the log does not say busy"; return 1; }
}
# An ATSC scan over the real adapter: vidtv locks on 8VSB at 473 MHz (channel 14) but sends DVB
# tables only, no VCT. The scan reads the stream's tables, gives up on the VCT, lists nothing, ends.
scan_atsc() {
  timeout 240 "$streamer" scan tuner://tv.channel.atsc/#/x --json --timeout 200 >/tmp/atsc.json 2>/tmp/atsc.err
  rc=$?
  sed 's/^/guest: scan: /' /tmp/atsc.err | tail -4
  echo "guest: ATSC scan found: $(head -c 600 /tmp/atsc.json)"
  [ $rc -eq 0 ] || return 1
  [ "$(cat /tmp/atsc.json)" = "[]" ] || { echo "guest: the ATSC scan listed channels vidtv does not send"; return 1; }
  grep -q "Timeout getting table (pid=1ffb, tid=c8)" $log || {
    echo "guest: the scan did not read channel 14's stream for its VCT"; cp $log /out/ 2>/dev/null; return 1; }
}
# vivid's analog card through the module: tuned, captured and encoded, written to a file the host
# checks (picture and sound, about as long as asked).
watch_analog() {
  "$streamer" watch device://tv.channel.analog/#/3 --compressed --seconds 3 -o /out/watch.ts >/tmp/watch.out 2>/tmp/watch.err
  rc=$?
  sed 's/^/guest: watch: /' /tmp/watch.out /tmp/watch.err | tail -8
  [ $rc -eq 0 ] || { cp $log /out/ 2>/dev/null; return 1; }
  [ -s /out/watch.ts ] || { echo "guest: the watch wrote nothing"; return 1; }
  echo "guest: watch wrote $(wc -c </out/watch.ts) bytes"
}
# An analog scan over vivid's card: it has a picture on channel 3 (61.25 MHz), none on 5 (77.25).
scan_analog() {
  "$streamer" scan tuner://tv.channel.analog/#/x --json --timeout 300 >/tmp/ascan.json 2>/tmp/ascan.err
  rc=$?
  sed 's/^/guest: scan: /' /tmp/ascan.err | tail -5
  echo "guest: analog scan found: $(head -c 600 /tmp/ascan.json)"
  [ $rc -eq 0 ] || return 1
  grep -q '"path":"device://tv.channel.analog/#/3"' /tmp/ascan.json || { echo "guest: channel 3 was not found"; return 1; }
  ! grep -q '"path":"device://tv.channel.analog/#/5"' /tmp/ascan.json || { echo "guest: channel 5 was found"; return 1; }
}
if [ -x "$streamer" ]; then
  mkdir -p /tmp/pelmo
  # Settings as a user's first run makes them, with the plug-in's log at INFO (kept when a step fails).
  "$streamer" setup >/dev/null 2>&1
  sed -i 's/"LogLevel"=dword:0000000[0-9]/"LogLevel"=dword:00000003/' "$PELMO_REGISTRY/HKEY_LOCAL_MACHINE.reg" 2>/dev/null
  printf 'listener 18830 127.0.0.1\nallow_anonymous true\nuser root\nset_tcp_nodelay true\n' >/tmp/pelmo/broker.conf
  /test/e2e/bin/mosquitto -c /tmp/pelmo/broker.conf >/tmp/pelmo/broker.log 2>&1 &
  broker=$!
  # Listening on 18830 (0x498E) before the host looks for it.
  i=0
  while ! grep -q ':498E [0-9A-F:]* 0A' /proc/net/tcp && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  step "host: scan finds Beethoven" scan
  step "host: Beethoven (sound only) is refused" sound_only
  step "host: a busy tuner is refused" busy
  step "host: watch of analog channel 3" watch_analog
  step "host: analog scan" scan_analog
  step "host: ATSC scan" scan_atsc
  kill $broker 2>/dev/null
fi

if [ -x ./linuxtv_bench ]; then
  echo "guest: -- figures"
  ./linuxtv_bench dvb || echo "guest: the figures could not be taken"
fi
echo "guest: $failed failed step(s)"
exit $failed
