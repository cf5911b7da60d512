#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 into build-fuzz/ and runs each for a while.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# SECONDS defaults to 60 per target; without TARGETs every target of tests/fuzz runs. Seeds come
# from tests/fuzz/corpus/<target without fuzz_>/ when present; findings go to fuzz-out/<target>/.
# Exit status 1 when any target found a crash, leak, timeout or memory blow-up.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
case "${1:-}" in
  -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(grep -ohE 'ov3_add_fuzzer\(\s*fuzz_[A-Za-z0-9_]+' tests/fuzz/CMakeLists.txt \
    | sed -E 's/.*\(\s*//' | sort -u)
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets are declared in tests/fuzz/CMakeLists.txt" >&2
  exit 1
fi

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOV3_FUZZ=ON -DOV3_BUILD_APP=OFF -DOV3_BUILD_TESTS=OFF -DOV3_BUILD_TOOLS=OFF >/dev/null
cmake --build build-fuzz -j 2 --target "${targets[@]}"

# Runs one target; prints its verdict and returns 1 when it found something.
run_target() {
  local target=$1 binary out seeds=() status=0
  binary=$(find build-fuzz -type f -name "$target" -perm -u+x | head -n 1)
  if [ -z "$binary" ]; then
    printf '%-20s %s\n' "$target" "NOT BUILT"
    return 1
  fi
  out=fuzz-out/$target
  mkdir -p "$out/corpus"
  # New inputs go to fuzz-out; the committed seed corpus is only read.
  [ -d "tests/fuzz/corpus/${target#fuzz_}" ] && seeds=("tests/fuzz/corpus/${target#fuzz_}")
  touch "$out/.started"
  "$binary" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=30 \
    -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus" "${seeds[@]}" \
    >"$out/log.txt" 2>&1 || status=$?
  local findings
  findings=$(find "$out" -maxdepth 1 -type f -newer "$out/.started" \( -name 'crash-*' \
    -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  if [ "$status" -ne 0 ] || [ "$findings" -gt 0 ]; then
    printf '%-20s %s\n' "$target" "FOUND A CRASH (exit $status, $findings artifact(s) in $out/, log $out/log.txt)"
    return 1
  fi
  printf '%-20s %s\n' "$target" "no crash in ${seconds}s ($(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$out/log.txt" | grep -oE '[0-9]+$' || echo '?') runs)"
}

failed=0
echo "target               result"
for target in "${targets[@]}"; do
  run_target "$target" || failed=1
done
exit $failed
