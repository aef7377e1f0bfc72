#!/usr/bin/env bash
# Builds everything and runs the updater under Wine against an emulated normal-mode controller
# served by kestro-link-server: the link build, which reaches the controller over the device
# link; with --shipped the shipped KestroUpdate.exe, which finds it in Wine's own HID stack
# through the virtual HID device (kestro-vhid.exe); with --wine-hidraw the shipped program again,
# which finds it through Wine's own HID bus (winebus) as on a Linux desktop: the controller is
# behind a hidraw node of the umockdev test bed, and the whole Wine session runs inside the mock,
# in a prefix of its own. Uses $DISPLAY when there is one; otherwise runs on a private Xvfb,
# drives a whole update itself and saves screenshots.
#   scripts/run.sh [--shipped | --wine-hidraw]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
shipped=0
hidraw=0
case "${1:-}" in
  --shipped) shipped=1 ;;
  --wine-hidraw) hidraw=1 ;;
  "") ;;
  *) echo "usage: scripts/run.sh [--shipped | --wine-hidraw]" >&2; exit 2 ;;
esac

scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset native >/dev/null
cmake --build --preset native --target kestro-link-server kestro-package hidraw-mock-run
mock_run=(umockdev-wrapper build/native/tests/hidraw/hidraw-mock-run)
wine_session=(tests/e2e/winehidraw/wine-session.sh)

out=$root/build/run
mkdir -p "$out"
package=$out/sample.dat
build/native/tools/package/kestro-package build "$package" \
  --record version=123,model=0,variant=0,size=4096,seed=1 \
  --record version=150,beta=2,model=0x0102,variant=3,size=2048,seed=2
build/native/tools/package/kestro-package list "$package" || true

if ((hidraw)); then
  # Its own prefix: winebus's udev backend on (its SDL one off), made inside the mock.
  export WINEPREFIX=$out/wineprefix-hidraw
else
  export WINEPREFIX=${WINEPREFIX:-$out/wineprefix}
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

headless=0
if [[ -z "${DISPLAY:-}" ]]; then
  headless=1
  number=99
  while [[ -e /tmp/.X11-unix/X$number || -e /tmp/.X$number-lock ]]; do number=$((number + 1)); done
  Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$number ]] && break; sleep 0.1; done
  [[ -e /tmp/.X11-unix/X$number ]] || { echo "run: Xvfb did not start on :$number"; exit 1; }
  export DISPLAY=:$number
  echo "run: no display, using Xvfb on $DISPLAY"
fi
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "run: making the Wine prefix $WINEPREFIX"
  if ((hidraw)); then
    "${mock_run[@]}" -- "${wine_session[@]}" prefix
  else
    wineboot -i
  fi
  # The virtual HID device's driver does not start in the session that made the prefix.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
fi
if ((headless)); then
  # No window manager on Xvfb: let Wine draw the window frames, so the screenshots show captions.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
else
  wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
fi

port_file=$out/link-server.out
build/native/tools/linkserver/kestro-link-server --mode normal --version 123 \
  --package "$package" --record 0 >"$port_file" &
server=$!
pids+=($server)
for _ in $(seq 50); do grep -q 'listening on' "$port_file" && break; sleep 0.1; done
address=$(sed -n 's/.*listening on \([0-9.]*:[0-9]*\).*/\1/p' "$port_file")
[[ -n $address ]] || { echo "run: the link server did not start (log: $port_file)"; exit 1; }
echo "run: emulated controller on $address (log: $port_file)"

win_package="Z:${package//\//\\}"
if ((shipped)); then
  # Into a file, not a pipe: Wine's services inherit the first Wine program's descriptors.
  bridge_out=$out/vhid.out
  wine build/windows/vhid/kestro-vhid.exe serve "$address" >"$bridge_out" 2>&1 &
  bridge=$!
  pids+=($bridge)
  for _ in $(seq 300); do grep -q '^ready' "$bridge_out" && break; sleep 0.1; done
  grep -q '^ready' "$bridge_out" || { echo "run: the virtual HID device did not start ($bridge_out)"; exit 1; }
  echo "run: the controller is in Wine's HID stack (log: $bridge_out)"
  echo "run: starting KestroUpdate.exe; pick $package in the file dialog"
  wine build/windows/KestroUpdate.exe &
elif ((hidraw)); then
  # The session's first Wine process starts inside the mock, so that Wine's services (winebus
  # among them) inherit it: no process of this prefix may be running before.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  echo "run: starting KestroUpdate.exe inside the test bed, the controller on /dev/hidraw0;" \
    "pick $package in the file dialog"
  # No other Wine process may start before the program has, or the session would start outside
  # the mock.
  probe_out=$out/probe.out
  rm -f "$probe_out"
  "${mock_run[@]}" --link "${address##*:}" --wine -- \
    "${wine_session[@]}" start 3a7c 5750 "$probe_out" build/windows/KestroUpdate.exe &
  for _ in $(seq 600); do grep -q "vid=3a7c pid=5750" "$probe_out" 2>/dev/null && break; sleep 0.1; done
  grep -q "vid=3a7c pid=5750" "$probe_out" ||
    { echo "run: Wine's HID bus did not show the controller ($probe_out)"; exit 1; }
else
  echo "run: starting KestroUpdate-link.exe; pick $package in the file dialog"
  KESTRO_DEVICE_LINK=$address wine build/windows/KestroUpdate-link.exe &
fi
program=$!
pids+=($program)

if ((headless)); then
  wine build/windows/uidriver.exe state 30000 >/dev/null ||
    echo "run: the program's window did not appear"
  shot=$out/screenshot.png
  import -window root "$shot"
  echo "run: screenshot of the running program: $shot"
  echo "run: (headless) updating with $win_package through the UI driver"
  wine build/windows/uidriver.exe press 10000 &&
    wine build/windows/uidriver.exe filedialog "$win_package" 10000 &&
    wine build/windows/uidriver.exe msgbox 10000 ok &&
    wine build/windows/uidriver.exe progress-watch 60000 | tail -1 &&
    import -window root "$out/success.png" &&
    wine build/windows/uidriver.exe msgbox 10000 ok || true
  echo "run: screenshot after the update: $out/success.png"
  wine build/windows/uidriver.exe close 10000 >/dev/null || kill "$program" 2>/dev/null || true
fi
wait "$program" || true
# The bridge serves until the server ends the run; then it removes its devices from the prefix.
if ((shipped)); then
  kill -TERM "$server" 2>/dev/null || true
  wait "$bridge" || true
fi
# The server ends when its client disconnects and says whether the image arrived intact.
wait "$server" && status=0 || status=$?
cat "$port_file" | tail -3
exit $status
