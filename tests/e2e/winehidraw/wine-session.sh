#!/bin/sh
# The Wine side of the shipped program through Wine's own HID bus (winebus) over the hidraw test
# bed, for scripts/run.sh and scripts/bench.sh (the tests do the same in WineHidrawFixture). Run
# inside the mock, by hidraw-mock-run, as the first Wine process of a session, so that Wine's
# services (winebus among them) inherit the mock; WINEPREFIX and DISPLAY come from the caller.
#   wine-session.sh prefix
#     makes the prefix: winebus's udev backend on (without "Enable SDL" 0 winebus tries SDL first
#     and, lacking libSDL2, never starts its udev backend), windows unmanaged for a display without
#     a window manager; made inside an empty test bed, it holds none of the machine's devices
#   wine-session.sh start VID PID PROBE_OUT PROGRAM.exe [ARGS...]
#     waits until a program finds the controller among Wine's HID interfaces (winebus adds it as
#     its udev backend starts, a moment after the session), writing what it finds to PROBE_OUT,
#     then runs the program in its place
set -eu
root=$(cd "$(dirname "$0")/../../.." && pwd)
case "${1:-}" in
  prefix)
    wineboot -i
    wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' \
      /t REG_DWORD /d 0 /f
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
    ;;
  start)
    [ $# -ge 5 ] || { echo "usage: wine-session.sh start VID PID PROBE_OUT PROGRAM.exe" >&2; exit 2; }
    wanted="vid=$2 pid=$3" probe_out=$4
    shift 4
    # Into a file: Wine's services inherit the descriptors of the session's first process and
    # would hold a pipe open.
    for _ in $(seq 150); do
      wine "$root/build/windows/vhid/vhid-probe.exe" list >"$probe_out" 2>&1 || true
      grep -q "$wanted" "$probe_out" && exec wine "$@"
      sleep 0.2
    done
    echo "wine-session.sh: Wine's HID bus did not show $wanted" >&2
    exit 1
    ;;
  *)
    echo "usage: wine-session.sh prefix | start VID PID PROBE_OUT PROGRAM.exe [ARGS...]" >&2
    exit 2
    ;;
esac
