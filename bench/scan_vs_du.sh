#!/usr/bin/env bash
# Compares a full library scan with `du -s` of the same two library folders, warm cache, and
# prints the ratio (below 1 means the scan is faster). Paired as the other comparisons are:
# RUNS rounds, each running both in turn with the order flipping every round; the ratio is
# the median of the rounds' ratios (their range in brackets), a time the median of its runs.
# The scan's time is taken inside bench_scan (`once`), du's over its whole run.
#   bench/scan_vs_du.sh [BENCH_SCAN_BINARY] [LIBRARY_DIR] [RUNS]
# The library is generated when LIBRARY_DIR does not exist yet: PLUGINS plug-ins (default
# 50000) of FILES_PER_PLUGIN files each (default 4; about two templates a plug-in, two thirds
# of the plug-ins in the user library) in LAYOUT (default media; sub: a template and a
# thumbnail at the top and sub/ with a template and a text file; flat: FILES_PER_PLUGIN
# files with no folders, all but one templates). Each layout wants its own LIBRARY_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${1:-build/bench/bench_scan}
dir=${2:-${TMPDIR:-/tmp}/loomwork-scan-bench}
runs=${3:-7}
[ -x "$bin" ] || { echo "no $bin: build first (cmake --build build --target bench_scan)"; exit 2; }
[ -d "$dir" ] || "$bin" generate "$dir" "${PLUGINS:-50000}" "${FILES_PER_PLUGIN:-4}" "${LAYOUT:-media}"

libs=("$dir/home/Movies/Motion Templates.localized" "$dir/system")
echo "files: $(find "${libs[@]}" -type f | wc -l)"
du -s "${libs[@]}" >/dev/null
"$bin" once "$dir" >/dev/null

median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
now() { date +%s.%N; }
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

du_s() { local t0 t1; t0=$(now); du -s "${libs[@]}" >/dev/null; t1=$(now); echo "$t1 - $t0" | bc -l; }
scan_s() { "$bin" once "$dir" | awk '{ print $1 }'; }

du_times=(); scan_times=(); ratios=()
for ((k = 1; k <= runs; k++)); do
  if ((k % 2)); then
    d=$(du_s); s=$(scan_s)
  else
    s=$(scan_s); d=$(du_s)
  fi
  du_times+=("$d"); scan_times+=("$s")
  ratios+=("$(echo "$s / $d" | bc -l)")
  printf 'round %d: scan %.3f s, du -s %.3f s\n' "$k" "$s" "$d" >&2
done

read -r _ count bytes < <("$bin" once "$dir")
du_med=$(printf '%s\n' "${du_times[@]}" | median)
scan_med=$(printf '%s\n' "${scan_times[@]}" | median)
ratio=$(printf '%s\n' "${ratios[@]}" | median)
low=$(printf '%s\n' "${ratios[@]}" | sort -g | head -1)
high=$(printf '%s\n' "${ratios[@]}" | sort -g | tail -1)
echo "plug-ins: $count, allocated bytes: $bytes (du -s, folders and hidden files included: $(du -s -B1 "${libs[@]}" | awk '{s+=$1} END {print s}'))"
printf 'du -s:  %.3f s\n' "$du_med"
printf 'scan:   %.3f s\n' "$scan_med"
printf 'ratio:  %.2f (%.2f–%.2f over %d rounds)\n' "$ratio" "$low" "$high" "$runs"
echo "load average (1, 5, 15 min): $load_start at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
