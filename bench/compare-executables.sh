# Executable pairs section of bench/compare.sh, which sources it after its own sections and
# provides $work, $results, $deltapatch, $runs, R and the measure/generate/apply_patch helpers.
# Ensemble patches (deltapatch gen/apply) against the plain block diff and the peers on
# executable pairs: the Mach-O parser's test fixtures, and a generated C program built at two
# versions as a Mach-O executable, ELF shared libraries (x86-64, i386, ARM Thumb-2) and PE DLLs
# (PE32, PE32+), some over 5 MiB and one of about 50 MiB (tests/fixtures/build_macho.sh and
# make_exe_pair.sh; clang-14, lld-14). The Debian ELF pairs of the block diff section get an
# ensemble patch too; their peers' numbers are those measured there.
# BENCH_EXECUTABLES=small leaves out the 50 MiB pair; BENCH_EXE_PAIRS="LABEL..." measures only
# the pairs named.

exe_tools=(ensemble deltapatch bsdiff xdelta3 zstd)
exe_pairs=()    # LABEL|WHAT
elf_pairs=()    # LABEL|WHAT, peers already measured

# wanted LABEL: whether BENCH_EXE_PAIRS (empty: every pair) names the pair.
wanted() { [ -z "${BENCH_EXE_PAIRS:-}" ] || [[ " $BENCH_EXE_PAIRS " == *" $1 "* ]]; }

# add_exe_pair LABEL OLD NEW WHAT: copies the pair into files/LABEL.old and files/LABEL.new.
add_exe_pair() {
  wanted "$1" || return 0
  cp -f "$2" "$work/files/$1.old" && cp -f "$3" "$work/files/$1.new" && exe_pairs+=("$1|$4")
}

# make_exe_pair LABEL KIND FUNCTIONS OPTLEVEL [strip] WHAT: a generated program, built once.
make_exe_pair() {
  local label=$1 kind=$2 functions=$3 opt=$4 strip=$5 what=$6
  wanted "$label" || return 0
  if bash tests/fixtures/make_exe_pair.sh "$work/files" "$label" "$kind" "$functions" "$opt" \
    $strip >/dev/null 2>"$work/stderr.txt"; then
    exe_pairs+=("$label|$what")
  else
    echo "skipping $label: $(head -c 300 "$work/stderr.txt")" >&2
  fi
}

if sh tests/fixtures/build_macho.sh "$work/macho" >/dev/null 2>"$work/stderr.txt"; then
  add_exe_pair macho-app "$work/macho/app_v1" "$work/macho/app_v2" "test fixture, x86-64 executable"
  add_exe_pair macho-dylib "$work/macho/libfixture_v1.dylib" "$work/macho/libfixture_v2.dylib" \
    "test fixture, x86-64 dylib"
  add_exe_pair macho-universal "$work/macho/universal_v1" "$work/macho/universal_v2" \
    "test fixture, universal x86-64 + i386"
else
  echo "skipping the Mach-O test fixtures: $(head -c 300 "$work/stderr.txt")" >&2
fi
macho="Mach-O x86-64 executable"
make_exe_pair gen-o1 macho 3000 1 strip "$macho, 3000 functions, -O1, local symbols stripped"
make_exe_pair gen-o1-symbols macho 3000 1 "" "$macho, 3000 functions, -O1, every function exported"
make_exe_pair gen-6mib macho 26000 0 strip "$macho, 26000 functions, -O0, local symbols stripped"
[ "${BENCH_EXECUTABLES:-}" = small ] ||
  make_exe_pair gen-50mib macho 220000 0 strip \
    "$macho, 220000 functions, -O0, local symbols stripped"
for kind in "elf-x64|ELF x86-64 shared library" "elf-i386|ELF i386 shared library" \
  "elf-arm|ELF ARM Thumb-2 shared library" "pe32|PE32 DLL" "pe32plus|PE32+ DLL"; do
  make_exe_pair "gen-${kind%%|*}-o1" "${kind%%|*}" 3000 1 strip \
    "${kind#*|}, 3000 functions, -O1, stripped"
done
# Function i of the generated program calls functions 7i + 3 and 13i + 5 (modulo the count):
# 28000 (26000) shares the factor 7 (13), so 4000 (2000) functions there get 8 (14) callers or
# more, enough for ARM branch labels to survive trimming; with 3000 every function has about 2.
make_exe_pair gen-elf-arm-large elf-arm 28000 0 strip \
  "ELF ARM Thumb-2 shared library, 28000 functions, -O0, stripped"
make_exe_pair gen-pe32plus-large pe32plus 26000 0 strip "PE32+ DLL, 26000 functions, -O0, stripped"
for entry in "${pairs[@]}"; do
  wanted "${entry%%|*}" &&
    [ "$(head -c 4 "$work/files/${entry%%|*}.new" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] &&
    elf_pairs+=("${entry%%|*}|${entry#*|} (ELF)")
done

exe_generate() {
  case $1 in
    ensemble) measure "$deltapatch" gen "$2" "$3" "$4" ;;
    *) generate "$@" ;;
  esac
}
exe_apply() {
  case $1 in
    ensemble) measure "$deltapatch" apply "$2" "$3" "$4" ;;
    *) apply_patch "$@" ;;
  esac
}

{
  echo
  echo "## Ensemble patches on executables (deltapatch gen / apply)"
  echo
  echo "\"deltapatch\" is the plain block diff (diff / bpatch) of the same pair."
  echo
  echo "| pair | what | old bytes | new bytes | tool | patch bytes | generate CPU s | generate wall s | apply CPU s | apply wall s | generate peak MiB | apply peak MiB | ok |"
  echo "|---|---|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---|"
} >>"$results"
# exe_row LABEL WHAT TOOL: makes and applies one patch, records it in R and in the table.
exe_row() {
  local label=$1 what=$2 tool=$3 ok
  local old=$work/files/$label.old new=$work/files/$label.new
  local patch=$work/out/$label.$tool.patch out=$work/out/$label.$tool.new
  if ! exe_generate "$tool" "$old" "$new" "$patch"; then
    echo "| $label | $what | $(size "$old") | $(size "$new") | $tool | | | | | | | | FAILED |" >>"$results"
    return 0
  fi
  R[$label:$tool:gen]=$CPU R[$label:$tool:genwall]=$WALL R[$label:$tool:genkb]=$KB
  exe_apply "$tool" "$old" "$patch" "$out" || CPU=0 WALL=0 KB=0
  R[$label:$tool:apply]=$CPU R[$label:$tool:applywall]=$WALL R[$label:$tool:applykb]=$KB
  R[$label:$tool:bytes]=$(size "$patch")
  cmp -s "$out" "$new" && ok=yes || ok=WRONG
  echo "| $label | $what | $(size "$old") | $(size "$new") | $tool | ${R[$label:$tool:bytes]} |" \
    "${R[$label:$tool:gen]} | ${R[$label:$tool:genwall]} | ${R[$label:$tool:apply]} |" \
    "${R[$label:$tool:applywall]} | $(mib "${R[$label:$tool:genkb]}") |" \
    "$(mib "${R[$label:$tool:applykb]}") | $ok |" >>"$results"
  rm -f "$out"
}

for entry in "${exe_pairs[@]}"; do
  saved_runs=$runs
  # Large pairs take minutes per run: one run each.
  [ "$(size "$work/files/${entry%%|*}.new")" -gt $((20 << 20)) ] && runs=1
  for tool in "${exe_tools[@]}"; do
    exe_row "${entry%%|*}" "${entry#*|}" "$tool"
  done
  runs=$saved_runs
done
for entry in "${elf_pairs[@]}"; do
  exe_row "${entry%%|*}" "${entry#*|}" ensemble
done

{
  echo
  echo "## Ensemble patch ratios against the targets (same run, times in CPU seconds)"
  echo
  echo "| pair | patch bytes / bsdiff (<= 0.50) | patch bytes / plain block diff (< 1) | apply time / bspatch (<= 1.50) | apply peak MiB (<= old + new + patch + 64 MiB) | generate CPU s | generate peak MiB |"
  echo "|---|---|---|---|---|---:|---:|"
} >>"$results"
for entry in "${exe_pairs[@]}" "${elf_pairs[@]}"; do
  label=${entry%%|*}
  cells=()
  for check in "ensemble:bytes bsdiff:bytes 0.50 le" "ensemble:bytes deltapatch:bytes 1 lt" \
    "ensemble:apply bsdiff:apply 1.50 le"; do
    read -r mine peer limit op <<<"$check"
    cells+=("$(ratio_cell "${R[$label:$mine]}" "${R[$label:$peer]}" "$limit" "$op")")
  done
  limit_kb=$(( ($(size "$work/files/$label.old") + $(size "$work/files/$label.new") +
    ${R[$label:ensemble:bytes]:-0}) / 1024 + 65536 ))
  applykb=${R[$label:ensemble:applykb]:-0}
  memory="$(mib "$applykb") of $(mib "$limit_kb") $([ "$applykb" -gt 0 ] && [ "$applykb" -le "$limit_kb" ] && echo met || echo MISSED)"
  echo "| $label | ${cells[0]} | ${cells[1]} | ${cells[2]} | $memory | ${R[$label:ensemble:gen]:-} |" \
    "$(mib "${R[$label:ensemble:genkb]:-0}") |" >>"$results"
done
