# Runs inside the test VM (busybox sh, in /test): the drivers' devices first, then every device
# test program copied in. The exit status is the number of failed steps.
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
if [ -x ./linuxtv_bench ]; then
  echo "guest: -- figures"
  ./linuxtv_bench dvb || echo "guest: the figures could not be taken"
fi
echo "guest: $failed failed step(s)"
exit $failed
