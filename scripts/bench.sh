#!/usr/bin/env bash
# Builds the deltapatch command with optimisation (build-bench/) and runs the side-by-side
# comparison with bsdiff, xdelta3, zstd and xz; the tables land in bench/work/results.md.
#   scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  -h|--help) sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac

bash scripts/install-deps.sh
# perf's task clock times the short runs exactly; only the benchmark needs it.
if ! perf stat -e task-clock -o /dev/null -- true 2>/dev/null; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    linux-perf >/dev/null || echo "bench.sh: could not install linux-perf" >&2
fi
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOV3_BUILD_APP=OFF \
  -DOV3_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target deltapatch_cli
exec bash bench/compare.sh build-bench/bin/deltapatch
