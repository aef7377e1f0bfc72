#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60), as many at once as there are cores, from
# the checked-in seeds into corpora under build/fuzz/. Prints executions and crashes per target;
# a crash leaves its input in build/fuzz/crashes/ (reproduce: the target binary with that file,
# KESTRO_FUZZ_TRACE=1 for the update target's story). Exits non-zero when anything crashed.
#   scripts/fuzz.sh [SECONDS]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2; }

scripts/setup.sh >/dev/null || exit 1
cmake --preset native-clang >/dev/null && cmake --build --preset native-clang >/dev/null || {
  echo "fuzz: the native-clang build failed" >&2
  exit 1
}

targets=(PackageScanFuzz ReplyFuzz UpdateFuzz IntelHexFuzz)
out=build/fuzz
mkdir -p "$out/crashes"
# Crashes of earlier runs stay for reproducing; only those newer than this mark count now.
started=$out/crashes/.started
touch "$started"
jobs=$(nproc)
for target in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= jobs)); do wait -n; done
  mkdir -p "$out/$target"
  echo "fuzz: $target for $seconds s"
  build/native-clang/tests/fuzz/$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/crashes/$target-" \
    "$out/$target" "tests/fuzz/corpus/$target" >"$out/$target.log" 2>&1 &
done
wait

failed=0
printf '\n%-16s %12s %8s %8s\n' target executions exec/s crashes
for target in "${targets[@]}"; do
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$out/$target.log" | grep -o '[0-9]*$')
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$out/$target.log" | grep -o '[0-9]*$')
  crashes=$(find "$out/crashes" -name "$target-*" -newer "$started" | wc -l)
  printf '%-16s %12s %8s %8s\n' "$target" "${runs:-?}" "${rate:-?}" "$crashes"
  ((crashes == 0)) && [[ -n $runs ]] || failed=1
done
exit $failed
