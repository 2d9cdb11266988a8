#!/usr/bin/env bash
# zfcptool extract against `tar -I pigz -xf` of the same small files while BUSY busy loops
# (default 16, more runnable threads than cores) keep the cores busy, on /dev/shm (else in
# TMPDIR): SMALL_FILES files of 1 to 4 KB (default 20000), as compare.sh generates them.
# Paired: ROUNDS rounds (default 9), each running both sides in turn, the order flipping every
# round, each into an empty folder; prints each round (wall seconds, CPU seconds, ratio) and
# the median and range of the rounds' ratios (below 1 means zfcptool is faster). The busy
# loops are this script's own children, ended by their PIDs at the end.
#   bench/busy.sh [WORK_DIR]
# LOOMWORK_BUILD_DIR picks the build folder (default build/); ZFCPTOOL picks another zfcptool
# binary to time; KEEP=1 keeps the work folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-9}
busy=${BUSY:-16}
small_files=${SMALL_FILES:-20000}
build=${LOOMWORK_BUILD_DIR:-$here/build}
tool=${ZFCPTOOL:-$build/tools/zfcptool/zfcptool}
gen=$build/bench/loomwork-genlib

for program in tar pigz /usr/bin/time; do
  command -v "$program" >/dev/null || { echo "busy.sh: $program is missing (scripts/deps installs it)" >&2; exit 1; }
done
if [ ! -x "$tool" ] || [ ! -x "$gen" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 3 --target zfcptool loomwork-genlib
fi
if [ -n "${1:-}" ]; then
  mkdir -p "$1"
  work=$(cd "$1" && pwd)
elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
  work=$(mktemp -d /dev/shm/loomwork-busy-XXXXXX)
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/loomwork-busy-XXXXXX")
fi
loops=()
cleanup() {
  local pid
  for pid in "${loops[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ "${KEEP:-0}" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT

echo "generating ${small_files} small files" >&2
"$gen" --small-files "$small_files" "$work/lib" 42 >&2
pack_args=()
for pair in effect:Effects subtitle:Titles generator:Generators transitions:Transitions; do
  type=${pair%%:*}
  for plugin in "$work/lib/${pair#*:}.localized"/*/; do
    [ -d "$plugin" ] || continue
    plugin=${plugin%/}
    pack_args+=("$type" "$(basename "$plugin")" "$plugin")
  done
done
"$tool" pack "$work/lib.zfcp" "${pack_args[@]}"
tar -I pigz -cf "$work/lib.tar.gz" -C "$work/lib" .

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
range() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%s–%s", lo, hi }'; }

# one SIDE: one run into an empty folder; sets seconds and cpu.
one() {
  rm -rf "$work/out"
  mkdir -p "$work/out"
  # Category folders without plug-ins are part of the tree too.
  (cd "$work/lib" && find . -maxdepth 1 -mindepth 1 -type d -exec mkdir -p "$work/out/{}" \;)
  local start end
  start=$(date +%s%N)
  if [ "$1" = zfcptool ]; then
    /usr/bin/time -f "%U %S" -o "$work/time.txt" "$tool" extract "$work/lib.zfcp" "$work/out"
  else
    /usr/bin/time -f "%U %S" -o "$work/time.txt" tar -I pigz -xf "$work/lib.tar.gz" -C "$work/out"
  fi
  end=$(date +%s%N)
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  cpu=$(awk '{ printf "%.2f", $1 + $2 }' "$work/time.txt")
}

for ((i = 0; i < busy; i++)); do
  (while :; do :; done) &
  loops+=($!)
done
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
ratios=()
zs=()
ts=()
for ((k = 1; k <= rounds; k++)); do
  order=(zfcptool tar)
  if ((k % 2 == 0)); then order=(tar zfcptool); fi
  declare -A wall=() used=()
  for side in "${order[@]}"; do
    one "$side"
    wall[$side]=$seconds
    used[$side]=$cpu
  done
  ratios+=("$(ratio "${wall[zfcptool]}" "${wall[tar]}")")
  zs+=("${wall[zfcptool]}")
  ts+=("${wall[tar]}")
  echo "round $k: zfcptool ${wall[zfcptool]} s (CPU ${used[zfcptool]} s), tar -I pigz -xf ${wall[tar]} s (CPU ${used[tar]} s), ratio ${ratios[-1]}, load $(cut -d' ' -f1 /proc/loadavg)"
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
echo
echo "| work | zfcptool s | tar -I pigz -xf s | ratio (rounds) | target |"
echo "|---|---|---|---|---|"
r=$(median "${ratios[@]}")
echo "| extract ${small_files} files of 1–4 KB with ${busy} busy loops, vs \`tar -I pigz -xf\` | $(median "${zs[@]}") | $(median "${ts[@]}") | $r ($(range "${ratios[@]}")) | ≤ 1.0, $(awk -v v="$r" 'BEGIN { print (v + 0 <= 1.0) ? "met" : "NOT met" }') |"
