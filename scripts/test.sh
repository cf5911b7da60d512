#!/usr/bin/env bash
# Installs what is missing, builds everything and runs all tests.
#   scripts/test.sh             regular build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=OFF
builddir=build
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=ON; builddir=build-sanitize ;;
    -h|--help) sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$builddir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOV3_SANITIZE="$sanitize" >/dev/null
cmake --build "$builddir" -j "$jobs"

export QT_QPA_PLATFORM=offscreen
if [ "$sanitize" = ON ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export LSAN_OPTIONS=suppressions="$(pwd)/tests/lsan.supp"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
cd "$builddir"
ctest --output-on-failure -j "$jobs" --timeout 600
