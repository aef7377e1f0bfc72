#!/bin/bash
# Checks that the Windows programs import only DLLs that every Windows 10/11 has: no MinGW, C++
# or thread runtime beside the .exe. Usage: tests/e2e/check-static.sh [EXE...]
# (default: build/windows/KestroUpdate.exe and build/windows/KestroUpdate-link.exe).
set -u
cd "$(dirname "$0")/../.."
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
# Lower case; api-ms-win-* are the system's API sets (a UCRT-based toolchain imports them).
system_dlls='^(kernel32|user32|gdi32|comctl32|comdlg32|ole32|oleaut32|shell32|advapi32|setupapi|hid|ws2_32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'

programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=(build/windows/KestroUpdate.exe build/windows/KestroUpdate-link.exe)

# Missing tools or programs: a skip (77) for a developer, a failure in the full test run.
missing() {
  echo "$1"
  [ -n "${KESTRO_E2E_REQUIRED:-}" ] && exit 1
  exit 77
}
command -v "$objdump" >/dev/null || missing "$objdump not installed"
for exe in "${programs[@]}"; do
  [ -f "$exe" ] || missing "$exe not built (cmake --build --preset windows)"
done

passed=0
failed=0
for exe in "${programs[@]}"; do
  dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  if [ -z "$dlls" ]; then
    echo "FAIL $exe: no import table found"
    failed=$((failed + 1))
    continue
  fi
  foreign=$(grep -Ev "$system_dlls" <<<"$dlls")
  if [ -n "$foreign" ]; then
    echo "FAIL $exe imports non-system DLLs:" $foreign
    failed=$((failed + 1))
  else
    echo "ok   $exe:" $dlls
    passed=$((passed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
