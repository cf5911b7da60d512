#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and shows the delta patch engine at work:
# packs and unpacks files, diffs and patches two versions of a text and of a program, checks that
# every result is byte for byte the original and prints the sizes.
#   scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

case "${1:-}" in
  -h|--help) sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac

echo "== installing what is missing"
bash scripts/install-deps.sh

echo "== building (build/)"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build

# The next release of a program, in small: the command built again from a copy of the sources
# in which one message is reworded, with the same compiler settings.
echo "== building a second version of the deltapatch command (build-demo/)"
rm -rf build-demo/src && mkdir -p build-demo/src
cp -rp CMakeLists.txt cmake libs tools build-demo/src/ # kept times let a rerun skip unchanged files
sed -i 's/Packs and unpacks update containers/Packs, checks and unpacks update containers/' \
  build-demo/src/tools/deltapatch/options.cpp
cmake -S build-demo/src -B build-demo/build -G Ninja -DOV3_BUILD_APP=OFF -DOV3_BUILD_TESTS=OFF \
  >/dev/null
cmake --build build-demo/build --target deltapatch_cli

tool=$root/build/bin/deltapatch
work=$(mktemp -d "${TMPDIR:-/tmp}/ov3-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Two versions of a text: numbered paragraphs, the second with edits, insertions and removals.
make_text() {
  local salt=$1
  awk -v salt="$salt" 'BEGIN {
    for (i = 1; i <= 4000; i++) {
      if (salt && i % 97 == 0) { print "Paragraph " i " was rewritten for the new release."; continue }
      if (salt && i % 251 == 0) continue
      printf "Paragraph %d: the updater downloads, verifies and installs file %d of %d.\n", i, i * 7 % 1000, 4000
      if (salt && i % 333 == 0) print "A new sentence appears after paragraph " i "."
    }
  }'
}
make_text 0 >"$work/text-v1.txt"
make_text 1 >"$work/text-v2.txt"
# Debug information names the source directory, so both versions are compared stripped, as
# they would ship.
strip -o "$work/deltapatch-v1" "$tool"
strip -o "$work/deltapatch-v2" "$root/build-demo/build/bin/deltapatch"

size() { stat -c %s "$1"; }
same() { cmp -s "$1" "$2" && echo yes || echo NO; }
failures=0
check() { [ "$1" = yes ] || failures=$((failures + 1)); }

echo
echo "== containers: deltapatch pack / unpack"
printf '%-18s %12s %12s %12s %10s\n' file bytes "pack" "pack --plain" "unpacked ok"
for f in text-v2.txt deltapatch-v1; do
  "$tool" pack "$work/$f" "$work/$f.lzma2"
  "$tool" pack --plain "$work/$f" "$work/$f.plain.lzma2"
  "$tool" unpack "$work/$f.lzma2" "$work/$f.unpacked"
  ok=$(same "$work/$f" "$work/$f.unpacked")
  check "$ok"
  printf '%-18s %12s %12s %12s %10s\n' "$f" "$(size "$work/$f")" "$(size "$work/$f.lzma2")" \
    "$(size "$work/$f.plain.lzma2")" "$ok"
done

echo
echo "== block diff: deltapatch diff / bpatch (new file packed with xz -9 for comparison)"
printf '%-22s %10s %10s %10s %10s %10s\n' "old -> new" old new "xz -9 new" patch "patched ok"
for pair in text-v1.txt:text-v2.txt deltapatch-v1:deltapatch-v2; do
  old=${pair%%:*} new=${pair##*:}
  "$tool" diff "$work/$old" "$work/$new" "$work/$new.ovdiff"
  "$tool" bpatch "$work/$old" "$work/$new.ovdiff" "$work/$new.patched"
  ok=$(same "$work/$new" "$work/$new.patched")
  check "$ok"
  printf '%-22s %10s %10s %10s %10s %10s\n' "${old%%-v1*} v1 -> v2" "$(size "$work/$old")" \
    "$(size "$work/$new")" "$(xz -9 -c "$work/$new" | wc -c)" "$(size "$work/$new.ovdiff")" "$ok"
done

echo
if [ "$failures" -ne 0 ]; then
  echo "demo: $failures result(s) differ from the original" >&2
  exit 1
fi
echo "All results are identical to their originals."
echo "Next: scripts/test.sh runs every test; build/bin/deltapatch --help shows the command."
