#!/usr/bin/env bash
# Times zfcptool pack/extract against zip -r -6 / unzip, tar czf / tar xzf and tar -I pigz on
# the same generated libraries, in one run, and prints a Markdown table of times, peak memory
# and time ratios (below 1 means zfcptool is faster):
#   - a media-heavy library of SIZE_MB (templates, already-compressed media, links),
#   - SMALL_FILES files of 1 to 4 KB (default 50000),
#   - listing a package of LIST_ENTRIES empty files (default 300000; peak memory only).
#   bench/compare.sh [SIZE_MB (default 500)] [WORK_DIR (default: a new temporary folder)]
# LOOMWORK_BUILD_DIR picks the build folder (default build/); KEEP=1 keeps the work folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
size_mb=${1:-500}
small_files=${SMALL_FILES:-50000}
list_entries=${LIST_ENTRIES:-300000}
build=${LOOMWORK_BUILD_DIR:-$here/build}
tool=$build/tools/zfcptool/zfcptool
gen=$build/bench/loomwork-genlib

for program in zip unzip tar gzip pigz /usr/bin/time; do
  command -v "$program" >/dev/null || { echo "compare.sh: $program is missing (scripts/deps installs it)" >&2; exit 1; }
done
if [ ! -x "$tool" ] || [ ! -x "$gen" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 4 --target zfcptool loomwork-genlib
fi

work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/loomwork-compare-XXXXXX")}
mkdir -p "$work"
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

# measure NAME COMMAND...: sets seconds, peak_mib and cpu (CPU time over wall time).
measure() {
  local name=$1; shift
  sync
  if ! /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/out.txt" 2>&1; then
    echo "compare.sh: $name failed:" >&2; cat "$work/out.txt" >&2; exit 1
  fi
  local wall
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt")
  seconds=$(echo "$wall" | awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }')
  peak_mib=$(awk '/Maximum resident set size/ { printf "%.1f", $NF / 1024 }' "$work/time.txt")
  cpu=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { print u + s }' "$work/time.txt")
  cpu=$(awk -v c="$cpu" -v w="$seconds" 'BEGIN { if (w > 0) printf "%.2f", c / w; else print "-" }')
  echo "  $name: ${seconds} s, peak ${peak_mib} MiB, CPU/wall ${cpu}" >&2
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
rows=()

# compare LABEL LIBRARY_DIR: packs and extracts LIBRARY_DIR with every tool, adds two rows.
compare() {
  local label=$1 lib=$2 dir=$work/run
  rm -rf "$dir"; mkdir -p "$dir/zip" "$dir/tar" "$dir/pigz"
  # Category folders without plug-ins are part of the tree too.
  (cd "$lib" && find . -maxdepth 1 -mindepth 1 -type d -exec mkdir -p "$dir/zfcp/{}" \;)
  local pack_args=() pair type folder plugin
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

  echo "$label: packing" >&2
  measure "zfcptool pack" "$tool" pack "$dir/lib.zfcp" "${pack_args[@]}"
  local zp=$seconds zpm=$peak_mib zpc=$cpu
  measure "zip -r -6" sh -c 'cd "$1" && zip -r -6 -y -q "$2" .' sh "$lib" "$dir/lib.zip"
  local ip=$seconds
  measure "tar czf" tar czf "$dir/lib.tgz" -C "$lib" .
  local tp=$seconds
  measure "tar -I pigz cf" tar -I pigz -cf "$dir/lib.tar.gz" -C "$lib" .
  local pp=$seconds

  echo "$label: extracting" >&2
  measure "zfcptool extract" "$tool" extract "$dir/lib.zfcp" "$dir/zfcp"
  local ze=$seconds zem=$peak_mib zec=$cpu
  measure "unzip" unzip -q "$dir/lib.zip" -d "$dir/zip"
  local ie=$seconds
  measure "tar xzf" tar xzf "$dir/lib.tgz" -C "$dir/tar"
  local te=$seconds
  measure "tar -I pigz xf" tar -I pigz -xf "$dir/lib.tar.gz" -C "$dir/pigz"
  local pe=$seconds

  local verdict="identical"
  diff -r --no-dereference "$lib" "$dir/zfcp" >"$work/diff.txt" 2>&1 || { verdict="DIFFERENT"; head -5 "$work/diff.txt" >&2; }
  [ "$verdict" = identical ] || echo "compare.sh: $label: the extracted tree differs from the source" >&2
  local mib
  mib=$(du -sm --apparent-size "$lib" | cut -f1)
  rows+=("| $label ($mib MiB), pack | $zp | $zpm | $zpc | $ip | $tp | $pp | $(ratio "$zp" "$ip") | $(ratio "$zp" "$tp") | $(ratio "$zp" "$pp") |")
  rows+=("| $label, extract ($verdict) | $ze | $zem | $zec | $ie | $te | $pe | $(ratio "$ze" "$ie") | $(ratio "$ze" "$te") | $(ratio "$ze" "$pe") |")
  rm -rf "$dir"
}

echo "generating a ${size_mb} MiB media-heavy library" >&2
"$gen" "$work/media" "$size_mb" 42 >&2
compare media "$work/media"
rm -rf "$work/media"

if [ "$small_files" -gt 0 ]; then
  echo "generating ${small_files} small files" >&2
  "$gen" --small-files "$small_files" "$work/small" 42 >&2
  compare "${small_files} small files" "$work/small"
  rm -rf "$work/small"
fi

if [ "$list_entries" -gt 0 ]; then
  echo "listing a package of ${list_entries} empty files" >&2
  mkdir -p "$work/many"
  (cd "$work/many" && seq 0 $(( (list_entries - 1) / 1000 )) | while read -r d; do
     mkdir -p "d$d"; (cd "d$d" && seq -f "f%06g" 1 1000 | xargs touch); done)
  "$tool" pack "$work/many.zfcp" effect many "$work/many"
  rm -rf "$work/many"
  measure "zfcptool list" "$tool" list "$work/many.zfcp"
  rows+=("| list $(( ( (list_entries + 999) / 1000 ) * 1000 )) entries | $seconds | $peak_mib | $cpu | | | | | | |")
fi

echo
echo "| work | zfcptool s | zfcptool peak MiB | zfcptool CPU/wall | zip -6 / unzip s | tar czf / xzf s | tar -I pigz s | vs zip | vs tar | vs pigz |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
