#!/bin/bash
# Checks that the Windows programs import only DLLs that every Windows 10/11 has (no MinGW, C++
# or thread runtime beside the .exe), and only ones the system never looks for in the program's
# own folder: a DLL imported by name that is none of these is looked for there first, so one left
# beside the program (in Downloads, say) would run as it starts. Such a DLL is loaded at run time
# from the system folder instead. Usage: tests/e2e/check-static.sh [EXE...]
# (default: build/windows/KestroUpdate.exe, KestroUpdate-link.exe, kestro-update.exe and
# kestro-package.exe).
set -u
cd "$(dirname "$0")/../.."
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
# Lower case. KnownDLLs of Windows 10 and 11 (x64), always taken from the system folder; hid.dll is
# not one of them. api-ms-win-* are API sets, resolved by the system before any folder is searched
# (a UCRT-based toolchain imports them).
known_dlls='^(kernel32|user32|gdi32|comdlg32|ole32|oleaut32|shell32|shlwapi|advapi32|setupapi|ws2_32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
# comctl32.dll is no KnownDLL for the version a program gets with its manifest: common controls 6
# come from the side-by-side store, and that redirection is resolved before the program's folder.
sxs_comctl32='name="Microsoft\.Windows\.Common-Controls"[[:space:]]+version="6\.'

programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=(build/windows/KestroUpdate.exe build/windows/KestroUpdate-link.exe build/windows/kestro-update.exe build/windows/kestro-package.exe)

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
  foreign=$(grep -Ev "$known_dlls" <<<"$dlls")
  # The manifest is stored as text among the program's resources.
  if grep -aEq "$sxs_comctl32" "$exe"; then
    foreign=$(grep -vx 'comctl32.dll' <<<"$foreign")
  fi
  if [ -n "$foreign" ]; then
    echo "FAIL $exe imports DLLs that the system would look for beside it first:" $foreign
    failed=$((failed + 1))
  else
    echo "ok   $exe:" $dlls
    passed=$((passed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
