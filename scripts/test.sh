#!/usr/bin/env bash
# Sets up the machine and runs every test: the formatting check, the Windows build, the native tests with g++, again
# with clang under AddressSanitizer and UndefinedBehaviorSanitizer, the two-thread tests under
# ThreadSanitizer, the fuzz targets for a short fixed time, the end-to-end tests of the real
# program under Wine, and the release built twice and compared. Prints a summary; exits non-zero
# when any step failed.
set -uo pipefail
cd "$(dirname "$0")/.."

results=()
failed=0

step() {
  local name=$1
  shift
  echo
  echo "=== $name: $*"
  local start=$SECONDS
  if "$@"; then
    results+=("PASS  $name ($((SECONDS - start)) s)")
    return 0
  fi
  results+=("FAIL  $name ($((SECONDS - start)) s)")
  failed=1
  return 1
}

build() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1"
}

step setup scripts/setup.sh || { printf '%s\n' "${results[@]}"; exit 1; }

# One formatting style in every file (.clang-format).
format_check() {
  git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
}
step "format (clang-format)" format_check

step "windows build" build windows
windows_ok=$?

step "native build (g++)" build native
native_ok=$?
if ((native_ok == 0)); then
  step "native tests (g++)" ctest --preset native -j2 --no-tests=error -LE e2e
fi

if step "native-clang build (address, undefined)" build native-clang; then
  step "native-clang tests (address, undefined)" \
    ctest --preset native-clang -j2 --no-tests=error -LE 'e2e|fuzz'
  # Each fuzz target is a ctest test that runs for a short fixed time.
  step "fuzz targets" ctest --preset native-clang --no-tests=error -L fuzz
fi

if step "native-tsan build" build native-tsan; then
  step "thread tests (thread sanitizer)" ctest --preset native-tsan --no-tests=error -L threads
fi

if ((windows_ok == 0 && native_ok == 0)); then
  step "end-to-end tests (Wine)" \
    env KESTRO_E2E_REQUIRED=1 ctest --preset native --no-tests=error -L e2e
  echo "screenshots and logs: build/native/e2e-artifacts/"
  # Once with the smallest sizes, so that the benchmark keeps working; its times judge nothing.
  step "benchmark (quick)" scripts/bench.sh --quick
else
  results+=("FAIL  end-to-end tests (Wine): not run, a build failed")
  failed=1
fi

# The release made twice from this commit in two places, compared byte for byte, and checked.
step "release (reproducible, checked)" tests/release/reproducible.sh

echo
echo "=== summary"
printf '%s\n' "${results[@]}"
exit $failed
