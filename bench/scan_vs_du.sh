#!/usr/bin/env bash
# Compares a full library scan with `du -s` of the same two library folders, warm cache,
# median of several runs each, and prints the ratio.
#   bench/scan_vs_du.sh [BENCH_SCAN_BINARY] [LIBRARY_DIR] [RUNS]
# The library is generated (about 100,000 files) when LIBRARY_DIR does not exist yet.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${1:-build/bench/bench_scan}
dir=${2:-${TMPDIR:-/tmp}/loomwork-scan-bench}
runs=${3:-7}
[ -x "$bin" ] || { echo "no $bin: build first (cmake --build build --target bench_scan)"; exit 2; }
[ -d "$dir" ] || "$bin" generate "$dir"

libs=("$dir/home/Movies/Motion Templates.localized" "$dir/system")
echo "files: $(find "${libs[@]}" -type f | wc -l)"
du -s "${libs[@]}" >/dev/null
"$bin" once "$dir" >/dev/null

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

du_times=(); scan_times=(); scan_wall=()
for _ in $(seq "$runs"); do
  t0=$(now); du -s "${libs[@]}" >/dev/null; t1=$(now)
  du_times+=("$(echo "$t1 - $t0" | bc -l)")
  t0=$(now); read -r inside count bytes < <("$bin" once "$dir"); t1=$(now)
  scan_times+=("$inside")
  scan_wall+=("$(echo "$t1 - $t0" | bc -l)")
done

du_med=$(printf '%s\n' "${du_times[@]}" | median)
scan_med=$(printf '%s\n' "${scan_times[@]}" | median)
wall_med=$(printf '%s\n' "${scan_wall[@]}" | median)
echo "plug-ins: $count, allocated bytes: $bytes (du -s, folders and hidden files included: $(du -s -B1 "${libs[@]}" | awk '{s+=$1} END {print s}'))"
printf 'du -s:              %.3f s\n' "$du_med"
printf 'scan (in process):  %.3f s  ratio %.2f\n' "$scan_med" "$(echo "$scan_med / $du_med" | bc -l)"
printf 'scan (whole run):   %.3f s  ratio %.2f\n' "$wall_med" "$(echo "$wall_med / $du_med" | bc -l)"
