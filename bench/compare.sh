#!/usr/bin/env bash
# Times zfcptool pack/extract against zip -r -6 / unzip and tar czf / tar xzf on the same
# generated library, in one run, and prints the time ratios and peak memory.
#   bench/compare.sh [SIZE_MB (default 1024)] [WORK_DIR (default: a new temporary folder)]
# LOOMWORK_BUILD_DIR picks the build folder (default build/); KEEP=1 keeps the work folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
size_mb=${1:-1024}
build=${LOOMWORK_BUILD_DIR:-$here/build}
tool=$build/tools/zfcptool/zfcptool
gen=$build/bench/loomwork-genlib

for program in zip unzip tar gzip /usr/bin/time; do
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

echo "generating a ${size_mb} MiB library in $work/lib"
"$gen" "$work/lib" "$size_mb" 42

# zfcptool takes TYPE NAME DIR per plug-in.
pack_args=()
for pair in effect:Effects subtitle:Titles generator:Generators transitions:Transitions; do
  type=${pair%%:*}; folder="$work/lib/${pair#*:}.localized"
  for plugin in "$folder"/*/; do
    plugin=${plugin%/}
    pack_args+=("$type" "$(basename "$plugin")" "$plugin")
  done
done

# Warm the page cache so that every tool reads the tree from memory alike.
tar cf - -C "$work" lib >/dev/null

# measure NAME COMMAND...: sets seconds and peak_mib.
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
  echo "  $name: ${seconds} s, peak ${peak_mib} MiB"
}

mkdir -p "$work/out/zfcp" "$work/out/zip" "$work/out/tar"
echo "packing"
measure "zfcptool pack" "$tool" pack "$work/lib.zfcp" "${pack_args[@]}"
zfcp_pack=$seconds zfcp_pack_mem=$peak_mib
measure "zip -r -6" sh -c 'cd "$1" && zip -r -6 -y -q "$2" .' sh "$work/lib" "$work/lib.zip"
zip_pack=$seconds zip_pack_mem=$peak_mib
measure "tar czf" tar czf "$work/lib.tgz" -C "$work" lib
tar_pack=$seconds tar_pack_mem=$peak_mib

echo "extracting"
measure "zfcptool extract" "$tool" extract "$work/lib.zfcp" "$work/out/zfcp"
zfcp_extract=$seconds zfcp_extract_mem=$peak_mib
measure "unzip" unzip -q "$work/lib.zip" -d "$work/out/zip"
zip_extract=$seconds zip_extract_mem=$peak_mib
measure "tar xzf" tar xzf "$work/lib.tgz" -C "$work/out/tar"
tar_extract=$seconds tar_extract_mem=$peak_mib

if diff -r --no-dereference "$work/lib" "$work/out/zfcp" >/dev/null; then
  verdict="identical"
else
  verdict="DIFFERENT"
fi

mib() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", b / 1048576 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

lib_mib=$(du -sm --apparent-size "$work/lib" | cut -f1)
echo
echo "library: ${lib_mib} MiB; zfcptool's extracted tree is $verdict to the source"
printf '%-22s %10s %12s %12s %14s %16s\n' tool "pack s" "extract s" "archive MiB" "pack peak MiB" "extract peak MiB"
printf '%-22s %10s %12s %12s %14s %16s\n' "zfcptool" "$zfcp_pack" "$zfcp_extract" "$(mib "$work/lib.zfcp")" "$zfcp_pack_mem" "$zfcp_extract_mem"
printf '%-22s %10s %12s %12s %14s %16s\n' "zip -r -6 / unzip" "$zip_pack" "$zip_extract" "$(mib "$work/lib.zip")" "$zip_pack_mem" "$zip_extract_mem"
printf '%-22s %10s %12s %12s %14s %16s\n' "tar czf / tar xzf" "$tar_pack" "$tar_extract" "$(mib "$work/lib.tgz")" "$tar_pack_mem" "$tar_extract_mem"
echo
echo "time ratios (zfcptool / other; below 1 means zfcptool is faster)"
echo "  pack:    vs zip $(ratio "$zfcp_pack" "$zip_pack"), vs tar $(ratio "$zfcp_pack" "$tar_pack")"
echo "  extract: vs unzip $(ratio "$zfcp_extract" "$zip_extract"), vs tar $(ratio "$zfcp_extract" "$tar_extract")"
[ "$verdict" = identical ]
