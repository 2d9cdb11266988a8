#!/usr/bin/env bash
# Times zfcptool pack/extract against zip -r -6 / unzip, tar czf / tar xzf, tar -I pigz and
# (for extraction) cp -r on the same generated libraries, in one run, and prints two
# Markdown tables: times, peak memory and time ratios (below 1 means zfcptool is faster),
# then each goal with its measured value.
#   - a media-heavy library of SIZE_MB (templates, already-compressed media, links),
#   - SMALL_FILES files of 1 to 4 KB (default 50000),
#   - listing a package of LIST_ENTRIES empty files (default 300000; peak memory only),
#   - the worst keystroke of the plug-in list's search at 50,000 plug-ins (bench_list_search,
#     when the application is built).
# Every comparison is paired: ROUNDS rounds (default 3), each running zfcptool and every
# other tool once, in turn (the order flips every round), so that both sides of a ratio
# meet the same machine load; a ratio is the median of the rounds' ratios, a time the
# median of its runs.
#   bench/compare.sh [SIZE_MB (default 500)] [WORK_DIR (default: a new folder on /dev/shm,
#   else in TMPDIR)]
# LOOMWORK_BUILD_DIR picks the build folder (default build/); KEEP=1 keeps the work folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
size_mb=${1:-500}
small_files=${SMALL_FILES:-50000}
list_entries=${LIST_ENTRIES:-300000}
rounds=${ROUNDS:-3}
build=${LOOMWORK_BUILD_DIR:-$here/build}
tool=$build/tools/zfcptool/zfcptool
gen=$build/bench/loomwork-genlib
keys=$build/bench/bench_list_search

for program in zip unzip tar gzip pigz cp /usr/bin/time; do
  command -v "$program" >/dev/null || { echo "compare.sh: $program is missing (scripts/deps installs it)" >&2; exit 1; }
done
if [ ! -x "$tool" ] || [ ! -x "$gen" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 4 --target zfcptool loomwork-genlib
fi
[ -x "$keys" ] || cmake --build "$build" -j 4 --target bench_list_search >/dev/null 2>&1 || true

if [ -n "${2:-}" ]; then
  work=$2
elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
  work=$(mktemp -d /dev/shm/loomwork-compare-XXXXXX)  # the disk takes no part
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/loomwork-compare-XXXXXX")
fi
mkdir -p "$work"
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

# timed NAME COMMAND...: one run; sets seconds, peak_mib and cpu (CPU time over wall time).
timed() {
  local name=$1; shift
  sync
  local start end
  start=$(date +%s%N)
  if ! /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/out.txt" 2>&1; then
    echo "compare.sh: $name failed:" >&2; cat "$work/out.txt" >&2; exit 1
  fi
  end=$(date +%s%N)
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  peak_mib=$(awk '/Maximum resident set size/ { printf "%.1f", $NF / 1024 }' "$work/time.txt")
  cpu=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { print u + s }' "$work/time.txt")
  cpu=$(awk -v c="$cpu" -v w="$seconds" 'BEGIN { if (w > 0) printf "%.2f", c / w; else print "-" }')
  echo "  $name: ${seconds} s, peak ${peak_mib} MiB, CPU/wall ${cpu}" >&2
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# met VALUE LIMIT: "met" when VALUE <= LIMIT.
met() { awk -v v="$1" -v l="$2" 'BEGIN { print (v != "-" && v + 0 <= l + 0) ? "met" : "NOT met" }'; }

rows=()
goals=()
declare -A result  # "<label> <pack|extract> <tool>" -> median ratio of zfcptool to the tool

# run_op OP TOOL: packs or extracts with one tool; the library is $lib, the run folder $dir.
run_op() {
  local op=$1 which=$2
  if [ "$op" = pack ]; then
    # Never into an earlier output: zip would update it, zfcptool would replace it safely.
    case $which in
      zfcptool) rm -f "$dir/lib.zfcp"; timed "zfcptool pack" "$tool" pack "$dir/lib.zfcp" "${pack_args[@]}" ;;
      zip) rm -f "$dir/lib.zip"; timed "zip -r -6" sh -c 'cd "$1" && zip -r -6 -y -q "$2" .' sh "$lib" "$dir/lib.zip" ;;
      tar) rm -f "$dir/lib.tgz"; timed "tar czf" tar czf "$dir/lib.tgz" -C "$lib" . ;;
      pigz) rm -f "$dir/lib.tar.gz"; timed "tar -I pigz cf" tar -I pigz -cf "$dir/lib.tar.gz" -C "$lib" . ;;
    esac
  else
    rm -rf "$dir/out"
    mkdir -p "$dir/out"
    case $which in
      zfcptool)
        # Category folders without plug-ins are part of the tree too.
        (cd "$lib" && find . -maxdepth 1 -mindepth 1 -type d -exec mkdir -p "$dir/out/{}" \;)
        timed "zfcptool extract" "$tool" extract "$dir/lib.zfcp" "$dir/out" ;;
      zip) timed "unzip" unzip -q "$dir/lib.zip" -d "$dir/out" ;;
      tar) timed "tar xzf" tar xzf "$dir/lib.tgz" -C "$dir/out" ;;
      pigz) timed "tar -I pigz xf" tar -I pigz -xf "$dir/lib.tar.gz" -C "$dir/out" ;;
      cp) timed "cp -r" cp -r "$lib/." "$dir/out" ;;
    esac
  fi
}

# paired LABEL OP TOOLS...: ROUNDS rounds of zfcptool and each tool in turn; sets the
# medians z_s, z_mib, z_cpu and, per tool, s[tool] and r[tool] (the ratio).
declare -A s r
paired() {
  local label=$1 op=$2; shift 2
  local others=("$@") order t k
  local -a zs zm zc
  declare -A times ratios
  for ((k = 1; k <= rounds; k++)); do
    echo "$label: $op, round $k of $rounds" >&2
    order=(zfcptool "${others[@]}")
    if ((k % 2 == 0)); then order=("${others[@]}" zfcptool); fi
    declare -A this=()
    for t in "${order[@]}"; do
      run_op "$op" "$t"
      this[$t]=$seconds
      if [ "$t" = zfcptool ]; then zs+=("$seconds"); zm+=("$peak_mib"); zc+=("$cpu"); fi
    done
    for t in "${others[@]}"; do
      times[$t]+="${this[$t]} "
      ratios[$t]+="$(ratio "${this[zfcptool]}" "${this[$t]}") "
    done
  done
  z_s=$(median "${zs[@]}"); z_mib=$(median "${zm[@]}"); z_cpu=$(median "${zc[@]}")
  s=(); r=()
  for t in "${others[@]}"; do
    # shellcheck disable=SC2086
    s[$t]=$(median ${times[$t]}); r[$t]=$(median ${ratios[$t]})
    result["$label $op $t"]=${r[$t]}
  done
}

# compare LABEL LIBRARY_DIR: packs and extracts LIBRARY_DIR with every tool, adds two rows.
compare() {
  local label=$1
  lib=$2
  dir=$work/run
  rm -rf "$dir"; mkdir -p "$dir"
  pack_args=()
  local pair type folder plugin
  for pair in effect:Effects subtitle:Titles generator:Generators transitions:Transitions; do
    type=${pair%%:*}; folder="$lib/${pair#*:}.localized"
    for plugin in "$folder"/*/; do
      [ -d "$plugin" ] || continue
      plugin=${plugin%/}
      pack_args+=("$type" "$(basename "$plugin")" "$plugin")
    done
  done
  # Warm the page cache so that every tool reads the tree from memory alike.
  tar cf - -C "$lib" . >/dev/null

  local mib
  mib=$(du -sm --apparent-size "$lib" | cut -f1)
  paired "$label" pack zip tar pigz
  rows+=("| $label ($mib MiB), pack | $z_s | $z_mib | $z_cpu | ${s[zip]} | ${s[tar]} | ${s[pigz]} | | ${r[zip]} | ${r[tar]} | ${r[pigz]} | |")
  paired "$label" extract zip tar pigz cp
  # The last zfcptool extraction is still there: it must equal the source.
  local verdict="identical"
  rm -rf "$dir/out" && mkdir -p "$dir/out"
  run_op extract zfcptool >/dev/null 2>&1
  diff -r --no-dereference "$lib" "$dir/out" >"$work/diff.txt" 2>&1 || { verdict="DIFFERENT"; head -5 "$work/diff.txt" >&2; }
  [ "$verdict" = identical ] || echo "compare.sh: $label: the extracted tree differs from the source" >&2
  rows+=("| $label, extract ($verdict) | $z_s | $z_mib | $z_cpu | ${s[zip]} | ${s[tar]} | ${s[pigz]} | ${s[cp]} | ${r[zip]} | ${r[tar]} | ${r[pigz]} | ${r[cp]} |")
  rm -rf "$dir"
}

echo "generating a ${size_mb} MiB media-heavy library" >&2
"$gen" "$work/media" "$size_mb" 42 >&2
compare media "$work/media"
rm -rf "$work/media"
goals+=("| extract the media-heavy library vs \`cp -r\` | ${result[media extract cp]} | ≤ 1.3 | $(met "${result[media extract cp]}" 1.3) |")

if [ "$small_files" -gt 0 ]; then
  echo "generating ${small_files} small files" >&2
  "$gen" --small-files "$small_files" "$work/small" 42 >&2
  label="${small_files} small files"
  compare "$label" "$work/small"
  rm -rf "$work/small"
  goals=("| pack ${small_files} files of 1–4 KB vs \`tar -I pigz -cf\` | ${result[$label pack pigz]} | ≤ 1.0 | $(met "${result[$label pack pigz]}" 1.0) |"
         "| extract the same vs \`tar -I pigz -xf\` | ${result[$label extract pigz]} | ≤ 1.0 | $(met "${result[$label extract pigz]}" 1.0) |"
         "| extract the same vs \`cp -r\` | ${result[$label extract cp]} | ≤ 1.2 | $(met "${result[$label extract cp]}" 1.2) |"
         "${goals[@]}")
fi

if [ "$list_entries" -gt 0 ]; then
  echo "listing a package of ${list_entries} empty files" >&2
  mkdir -p "$work/many"
  (cd "$work/many" && seq 0 $(( (list_entries - 1) / 1000 )) | while read -r d; do
     mkdir -p "d$d"; (cd "d$d" && seq -f "f%06g" 1 1000 | xargs touch); done)
  "$tool" pack "$work/many.zfcp" effect many "$work/many"
  rm -rf "$work/many"
  timed "zfcptool list" "$tool" list "$work/many.zfcp"
  entries=$(( ( (list_entries + 999) / 1000 ) * 1000 ))
  rows+=("| list $entries entries | $seconds | $peak_mib | $cpu | | | | | | | | |")
  goals+=("| \`zfcptool list\` of $entries entries, peak memory | $peak_mib MiB | ≤ 16 MiB | $(met "$peak_mib" 16) |")
fi

if [ -x "$keys" ]; then
  echo "timing the list's search at 50,000 plug-ins" >&2
  LOOMWORK_BENCH_PLUGINS=50000 "$keys" --benchmark_repetitions="$rounds" --benchmark_report_aggregates_only=true \
    >"$work/keys.txt" 2>&1 || { cat "$work/keys.txt" >&2; exit 1; }
  worst=$(awk '/BM_WorstKeystroke.*_median/ { printf "%.1f", $2 }' "$work/keys.txt")
  typing=$(awk '/BM_TypingAndErasing.*_median/ { for (i = 1; i <= NF; i++) if ($i ~ /^worst_ms=/) { sub("worst_ms=", "", $i); printf "%.1f", $i } }' "$work/keys.txt")
  goals+=("| worst keystroke in the list's search, 50,000 plug-ins (slowest while typing) | $worst ms ($typing ms) | ≤ 16 ms | $(met "$worst" 16) |")
fi

echo
echo "| work | zfcptool s | zfcptool peak MiB | zfcptool CPU/wall | zip -6 / unzip s | tar czf / xzf s | tar -I pigz s | cp -r s | vs zip | vs tar | vs pigz | vs cp -r |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "| goal | measured | target | |"
echo "|---|---|---|---|"
printf '%s\n' "${goals[@]}"
