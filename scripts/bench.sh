#!/usr/bin/env bash
# Where the time of an update goes, in one table: the native update code with an emulated
# controller that answers at once and with one paced by a USB frame clock (kestro-bench); under
# Wine, the time per block of a whole update through the link build, through the virtual HID
# device, and through Wine's own HID bus (winebus) over a hidraw node of the umockdev test bed,
# taken from the emulated controller's own timestamps; the shipped program's start to its
# window beside a minimal dialog program built the same way; and the shipped program's size.
# A benchmark, not a test: nothing here judges a time. Exits non-zero only when a run failed.
#   scripts/bench.sh [--quick]    (--quick: the smallest sizes and fewest runs, as CI does)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: scripts/bench.sh [--quick]" >&2; exit 2 ;;
esac
if ((quick)); then kib=4; starts=3; else kib=64; starts=10; fi

scripts/setup.sh >/dev/null || exit 1
{ cmake --preset windows && cmake --build --preset windows && cmake --preset native &&
  cmake --build --preset native --target kestro-bench kestro-link-server kestro-package \
    kestro-update hidraw-bench-all hidraw-mock-run; } \
  >/dev/null || { echo "bench: the build failed" >&2; exit 1; }

out=$root/build/bench
mkdir -p "$out"
failed=0
rows=()
row() { rows+=("$(printf '%-58s %s' "$1" "$2")"); }

# --- native ---
native=$out/native.txt
if ! build/native/bench/kestro-bench $( ((quick)) && echo --quick) >"$native"; then failed=1; fi
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }
while read -r line; do
  mode=$(field mode "$line"); protocol=$(field protocol "$line"); size=$(field kib "$line")
  [[ $(field ok "$line") == 1 ]] || failed=1
  if [[ $mode == zero-latency ]]; then
    row "native, zero latency, $protocol, $size KiB" \
      "host CPU $(field host_cpu_us_per_block "$line") us/block, wall $(field wall_us_per_block "$line") us/block"
  else
    row "native, USB frame clock, $protocol, $size KiB" \
      "$(field wall_ms "$line") ms, minimum $(field minimum_ms "$line") ms, ratio $(field ratio "$line")"
  fi
done <"$native"

# --- many controllers at once through umockdev: kestro-update --all ---
# Each controller answers a USB frame (1 ms) after each report, as on a full-speed bus; the
# processor time of the updaters and of the emulation (one process serving every node through
# umockdev) is shown beside the wall time, since on two cores it is what bounds the wall time.
if ((quick)); then counts="1 2"; all_kib=4; else counts="1 4 8"; all_kib=64; fi
for protocol in normal boot; do
  one=
  for n in $counts; do
    line=$(umockdev-wrapper build/native/tests/hidraw/hidraw-bench-all "$n" "$protocol" "$all_kib" 1)
    [[ $(field ok "$line") == 1 ]] || failed=1
    wall=$(field wall_ms "$line")
    [[ -n $one ]] || one=$wall
    row "kestro-update --all, $n x $(field protocol "$line"), $all_kib KiB, USB-paced" \
      "wall $wall ms ($(awk -v a="$wall" -v b="$one" 'BEGIN { printf "%.2f", a / b }') x one); peak memory $(field peak_kib "$line") KiB; CPU updaters $(field updater_cpu_ms "$line") ms, emulation $(field emulation_cpu_ms "$line") ms"
  done
done

# --- under Wine ---
export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
number=120
while [[ -e /tmp/.X11-unix/X$number || -e /tmp/.X$number-lock ]]; do number=$((number + 1)); done
Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$number ]] && break; sleep 0.1; done
export DISPLAY=:$number
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  wineboot -i >/dev/null 2>&1
  # No window manager: unmanaged windows, which Wine hides without waiting for one.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
fi
# winebus's own prefix, made inside the test bed (see tests/e2e/winehidraw/wine-session.sh).
mock_run=(umockdev-wrapper build/native/tests/hidraw/hidraw-mock-run)
wine_session=(tests/e2e/winehidraw/wine-session.sh)
hidraw_prefix=$out/wineprefix-hidraw
if [[ ! -f $hidraw_prefix/system.reg ]]; then
  WINEPREFIX=$hidraw_prefix "${mock_run[@]}" -- "${wine_session[@]}" prefix >/dev/null 2>&1
  WINEPREFIX=$hidraw_prefix wineserver -k 2>/dev/null || true
  WINEPREFIX=$hidraw_prefix wineserver -w 2>/dev/null || true
fi
driver() { wine build/windows/uidriver.exe "$@" >/dev/null 2>&1; }
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

# One whole update of KIB KiB; prints the milliseconds per block from the controller's log.
wine_update() {  # BUILD(link|shipped|hidraw) MODE(normal|boot)
  local build=$1 mode=$2 package=$out/$2.dat log=$out/$1-$2.server.out record=0 blocks first last
  # Every Wine process of the hidraw row (the UI driver's too) is of winebus's prefix.
  [[ $build == hidraw ]] && local -x WINEPREFIX=$hidraw_prefix
  if [[ $mode == normal ]]; then
    build/native/tools/package/kestro-package build "$package" \
      --record version=123,size=$((kib * 1024)),seed=3 >/dev/null
    blocks=$((kib * 1024 / 32))
  else
    build/native/tools/package/kestro-package build "$package" \
      --record version=150,model=0x0102,variant=3,size=$((kib * 1024)),seed=3 >/dev/null
    blocks=$(((kib * 1024 + 45) / 46))
  fi
  build/native/tools/linkserver/kestro-link-server --mode "$mode" --package "$package" \
    --record $record --timeout 300 >"$log" 2>&1 &
  local server=$!
  pids+=($server)
  for _ in $(seq 50); do grep -q 'listening on' "$log" && break; sleep 0.1; done
  local address
  address=$(sed -n 's/.*listening on \([0-9.]*:[0-9]*\).*/\1/p' "$log")
  local program bridge=
  if [[ $build == shipped ]]; then
    wine build/windows/vhid/kestro-vhid.exe serve "$address" >"$out/vhid.out" 2>&1 &
    bridge=$!
    pids+=($bridge)
    for _ in $(seq 300); do grep -q '^ready' "$out/vhid.out" && break; sleep 0.1; done
    # Into a file, not the caller's capture: Wine's services would hold that pipe open.
    wine build/windows/KestroUpdate.exe >"$out/$build-$mode.program.out" 2>&1 &
  elif [[ $build == hidraw ]]; then
    # A session of its own, started inside the mock by its first process, which starts the
    # program once Wine's HID bus has the controller; no other Wine process before.
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    local pid=5750 probe_out=$out/probe.out
    [[ $mode == boot ]] && pid=3002
    rm -f "$probe_out"
    "${mock_run[@]}" --link "${address##*:}" --wine -- "${wine_session[@]}" start 3a7c $pid \
      "$probe_out" build/windows/KestroUpdate.exe >"$out/$build-$mode.program.out" 2>&1 &
    for _ in $(seq 600); do grep -q "vid=3a7c pid=$pid" "$probe_out" 2>/dev/null && break; sleep 0.1; done
  else
    KESTRO_DEVICE_LINK=$address wine build/windows/KestroUpdate-link.exe \
      >"$out/$build-$mode.program.out" 2>&1 &
  fi
  program=$!
  pids+=($program)
  local ok=0
  driver state 30000 && driver press 10000 && driver filedialog "$(winpath "$package")" 10000 &&
    driver msgbox 10000 ok && driver msgbox 120000 ok && ok=1
  # A close that fails (no window, a dialog left open) must not leave the wait below hanging.
  driver close 10000 || kill "$program" 2>/dev/null || true
  wait "$program" 2>/dev/null
  if [[ -n $bridge ]]; then
    # The server's end ends the bridge's run: it removes its devices from the prefix and exits.
    kill -TERM "$server" 2>/dev/null
    wait "$bridge" 2>/dev/null
  fi
  wait "$server" 2>/dev/null
  if [[ $mode == normal ]]; then
    first=$(sed -n 's/^\[ *\([0-9.]*\)\] controller: image announced.*/\1/p' "$log" | head -1)
    last=$(sed -n 's/^\[ *\([0-9.]*\)\] controller: end$/\1/p' "$log" | tail -1)
  else
    first=$(sed -n 's/^\[ *\([0-9.]*\)\] controller: start: base.*/\1/p' "$log" | head -1)
    last=$(sed -n 's/^\[ *\([0-9.]*\)\] controller: finish$/\1/p' "$log" | tail -1)
  fi
  if ((ok)) && [[ -n $first && -n $last ]] && grep -q 'image matches package' "$log"; then
    awk -v a="$first" -v b="$last" -v n="$blocks" 'BEGIN { printf "%.2f", 1000 * (b - a) / n }'
  else
    echo "FAILED (see $log)"
    return 1
  fi
}

for build in link shipped hidraw; do
  for mode in normal boot; do
    case $build in
      link) name="link build" ;;
      shipped) name="shipped, virtual HID device" ;;
      hidraw) name="shipped, winebus over hidraw" ;;
    esac
    protocol=$([[ $mode == normal ]] && echo framed || echo boot)
    if result=$(wine_update "$build" "$mode"); then
      row "Wine, $name, $protocol, $kib KiB" "$result ms/block"
    else
      row "Wine, $name, $protocol, $kib KiB" "$result"
      failed=1
    fi
  done
done

# Start to window, median of the runs; the boot loader's pause (BOOT_START waits a second) is in
# the boot figures above, as a real update has it.
watch() { wine build/windows/bench/startwatch.exe "$(winpath "$root/$1")" "$starts" 2>/dev/null; }
shipped_start=$(watch build/windows/KestroUpdate.exe | sed -n 's/median_ms=//p' | tr -d '\r')
minimal_start=$(watch build/windows/bench/minimal-dialog.exe | sed -n 's/median_ms=//p' | tr -d '\r')
if [[ -n $shipped_start && -n $minimal_start ]]; then
  row "Wine, start to window, median of $starts" \
    "KestroUpdate.exe $shipped_start ms, minimal dialog $minimal_start ms, ratio $(awk -v a="$shipped_start" -v b="$minimal_start" 'BEGIN { printf "%.2f", a / b }')"
else
  row "Wine, start to window" "FAILED"
  failed=1
fi

# The console program's start, to its answer that there is no controller, timed the same way.
console_start=$(wine build/windows/bench/startwatch.exe --exit \
  "$(winpath "$root/build/windows/kestro-update.exe")" "$starts" --list 2>/dev/null |
  sed -n 's/median_ms=//p' | tr -d '\r')
row "Wine, kestro-update.exe --list to its end, no controller, median of $starts" \
  "${console_start:-FAILED} ms (the dialog's start to window: ${shipped_start:-?} ms)"

size=$(stat -c %s build/windows/KestroUpdate.exe)
imports=$(tests/e2e/check-static.sh build/windows/KestroUpdate.exe 2>&1 | sed -n 's/^ok *[^:]*: //p')
row "KestroUpdate.exe, stripped" "$((size / 1024)) KiB; imports ${imports:-?}"

echo
echo "machine: $(nproc) cores, $(sed -n 's/model name\t: //p' /proc/cpuinfo | head -1), $(uname -r)"
printf '%s\n' "${rows[@]}"
exit $failed
