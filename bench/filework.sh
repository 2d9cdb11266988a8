#!/usr/bin/env bash
# Times the application's file work against the tool a user would use on the same data, in
# one run, on disk (the work folder is not on /dev/shm unless given), and prints three
# ratios (below 1 means the application is faster) as a Markdown table:
#   - rewrite and translation: every template of a plug-in of TEMPLATES templates (default
#     2000) gets a new ozml version (TemplateInspector::setVersion), or its published names
#     translated (TemplateInspector::applyTranslations), both syncing what they write, against
#     `cp -r` of the plug-in followed by `sync -f` of the copy's file system (a plain `sync`
#     flushes the whole machine: its time swings with whatever else runs);
#   - copy: FileOps::copyTree against `cp -a`, on SMALL_FILES files of 1 to 4 KB (default
#     20000) and on one file of BIG_MB (default 2048, less when the disk lacks room);
#   - scan: a full library scan of PLUGINS plug-ins (default 50000, FILES_PER_PLUGIN files
#     each, default 8) against `du -s` of the same two library folders, warm cache.
# Every comparison is paired as in compare.sh: ROUNDS rounds (default 3), each running both
# sides in turn (the order flips every round, and each run starts after a sync); a ratio is
# the median of the rounds' ratios (their range in brackets), a time the median of its runs.
# The application's side is the time inside its driver (bench_filework, bench_scan), the
# tool's side its whole run.
#   bench/filework.sh [WORK_DIR (default: a new folder in TMPDIR)]
# LOOMWORK_BUILD_DIR picks the build folder (default build/); KEEP=1 keeps the work folder;
# SCAN_LIBRARY names a folder that keeps the generated scan library across runs (made there
# when missing); PARTS picks the comparisons (default "copy big rewrite scan").
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-3}
templates=${TEMPLATES:-2000}
small_files=${SMALL_FILES:-20000}
big_mb=${BIG_MB:-2048}
plugins=${PLUGINS:-50000}
parts=" ${PARTS:-copy big rewrite scan} "
files_per_plugin=${FILES_PER_PLUGIN:-8}
build=${LOOMWORK_BUILD_DIR:-$here/build}
driver=$build/bench/bench_filework
scanner=$build/bench/bench_scan
gen=$build/bench/loomwork-genlib

for program in cp du sync diff cmp; do
  command -v "$program" >/dev/null || { echo "filework.sh: $program is missing" >&2; exit 1; }
done
if [ ! -x "$driver" ] || [ ! -x "$scanner" ] || [ ! -x "$gen" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 4 --target bench_filework bench_scan loomwork-genlib
fi

if [ -n "${1:-}" ]; then
  mkdir -p "$1"
  work=$(cd "$1" && pwd)
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/loomwork-filework-XXXXXX")
fi
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT
export HOME="$work/home" LOOMWORK_SYSTEM_LIBRARY="$work/system" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
mkdir -p "$HOME" "$LOOMWORK_SYSTEM_LIBRARY" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"

# The big file and a copy, the small files (about 4 KB each on disk) with a copy per run,
# and the scan library (about 130 KB a plug-in) must fit with 1 GiB to spare.
avail_mb=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
scan_mb=0
[ -n "${SCAN_LIBRARY:-}" ] && [ -d "${SCAN_LIBRARY:-}" ] || scan_mb=$(( plugins * 130 / 1024 ))
room=$(( (avail_mb - 1024 - scan_mb - small_files * 4 * (2 * rounds + 1) / 1024 - templates * 100 * (rounds + 1) / 1024) / 2 ))
if [ "$room" -lt "$big_mb" ]; then
  [ "$room" -gt 0 ] || { echo "filework.sh: not enough room in $work (${avail_mb} MiB free)" >&2; exit 1; }
  echo "filework.sh: ${avail_mb} MiB free in $work: the big file is ${room} MiB instead of ${big_mb}" >&2
  big_mb=$room
fi

now() { date +%s%N; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
met() { awk -v v="$1" -v l="$2" 'BEGIN { print (l == "-") ? "" : (v != "-" && v + 0 <= l + 0) ? "met" : "NOT met" }'; }

# tool COMMAND...: the whole run's seconds in `seconds`.
tool() {
  sync
  local start end
  start=$(now)
  "$@" >"$work/out.txt" 2>&1 || { echo "filework.sh: $* failed:" >&2; cat "$work/out.txt" >&2; exit 1; }
  end=$(now)
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
}
# app COMMAND...: the first field the driver prints (its seconds inside) in `seconds`.
app() {
  sync
  "$@" >"$work/out.txt" 2>&1 || { echo "filework.sh: $* failed:" >&2; cat "$work/out.txt" >&2; exit 1; }
  seconds=$(awk 'NR == 1 { printf "%.3f", $1 }' "$work/out.txt")
}

rows=()
load_start=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo -)
# paired LABEL GOAL APP_FUNCTION TOOL_FUNCTION: ROUNDS rounds of both in turn; adds a row
# (GOAL "-" for none).
paired() {
  local label=$1 goal=$2 mine=$3 theirs=$4 k
  local -a a_s t_s ratios
  for ((k = 1; k <= rounds; k++)); do
    echo "$label: round $k of $rounds" >&2
    local a t
    if ((k % 2)); then
      "$mine" "$k"; a=$seconds; "$theirs" "$k"; t=$seconds
    else
      "$theirs" "$k"; t=$seconds; "$mine" "$k"; a=$seconds
    fi
    echo "  application ${a} s, tool ${t} s" >&2
    a_s+=("$a"); t_s+=("$t"); ratios+=("$(ratio "$a" "$t")")
  done
  local r spread
  r=$(awk -v v="$(median "${ratios[@]}")" 'BEGIN { printf "%.2f", v }')
  spread=$(printf '%s\n' "${ratios[@]}" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo "–" hi }')
  rows+=("| $label | $(median "${a_s[@]}") | $(median "${t_s[@]}") | $r ($spread) | $([ "$goal" = - ] || echo "≤ $goal") | $(met "$r" "$goal") |")
}

# Copies stay until a series ends, each under its own name: on an ext4 without a journal a new
# file skips every inode freed in the last minutes, one look at a time, so deleting 20,000
# copied files between runs would make the next run's creations slower with every round.

# copyTree and cp -a of $work/$copy_source; the last copy of each must equal the source.
copy_app() { app "$driver" copy "$work/$copy_source" "$work/app-copy-$1"; }
copy_tool() { tool cp -a "$work/$copy_source" "$work/tool-copy-$1"; }
check_copies() {
  diff -r --no-dereference "$work/$copy_source" "$work/app-copy-$rounds" >"$work/diff.txt" 2>&1 \
    || { echo "filework.sh: copyTree's copy differs from the source" >&2; head -5 "$work/diff.txt" >&2; exit 1; }
  rm -rf "$work"/app-copy-* "$work"/tool-copy-*
}

if [[ $parts == *" copy "* ]]; then
echo "generating $small_files small files" >&2
"$gen" --small-files "$small_files" "$work/small" 42 >&2
copy_source=small
paired "copyTree of $small_files files of 1–4 KB vs \`cp -a\`" 1.1 copy_app copy_tool
check_copies
rm -rf "$work/small"
fi

# One file: before each run the last copy goes, whichever side made it. That copy is still in
# the page cache, so every run starts with as much memory just freed; removing only a side's
# own copy favours whichever side runs first in a round, as the other side's copy has pushed
# its older one out of memory meanwhile.
if [[ $parts == *" big "* ]]; then
echo "writing one file of $big_mb MiB" >&2
mkdir -p "$work/big"
head -c "$((big_mb * 1024 * 1024))" /dev/urandom >"$work/big/clip.mov"
copy_source=big
big_app() {
  rm -rf "$work"/app-copy-* "$work"/tool-copy-*
  copy_app "$1"
  cmp "$work/big/clip.mov" "$work/app-copy-$1/clip.mov" \
    || { echo "filework.sh: copyTree's copy of the big file differs" >&2; exit 1; }
}
big_tool() { rm -rf "$work"/app-copy-* "$work"/tool-copy-*; copy_tool "$1"; }
paired "copyTree of one file of $big_mb MiB vs \`cp -a\`" 1.1 big_app big_tool
rm -rf "$work"/app-copy-* "$work"/tool-copy-* "$work/big"
fi

# Rewrite and translation: each round sets another version, or translates the names the other
# way, so every template is written each time.
if [[ $parts == *" rewrite "* ]]; then
plugin="$HOME/Movies/Motion Templates.localized/Titles.localized/Rewrite Bench"
echo "writing a plug-in of $templates templates" >&2
"$driver" plugin "$plugin" "$templates" >&2
every_template() {
  [ "$(awk 'NR == 1 { print $2 }' "$work/out.txt")" = "$templates" ] \
    || { echo "filework.sh: the $1 did not change every template" >&2; exit 1; }
}
rewrite_app() { app "$driver" rewrite "$plugin" "6.$1"; every_template rewrite; }
translate_app() { app "$driver" translate "$plugin" "$1"; every_template translation; }
copy_sync_tool() { tool sh -c 'cp -r "$1" "$2" && sync -f "$2"' sh "$plugin" "$work/rewrite-copy-$1"; }
paired "rewrite a plug-in of $templates templates vs \`cp -r\` + \`sync -f\`" 2 rewrite_app copy_sync_tool
rm -rf "$work"/rewrite-copy-*
paired "translate a plug-in of $templates templates vs \`cp -r\` + \`sync -f\`" 2 translate_app copy_sync_tool
rm -rf "$work"/rewrite-copy-* "$plugin"
fi

# Scan: the library is generated once (about 130 KB a plug-in) and read warm by both.
if [[ $parts == *" scan "* ]]; then
library=${SCAN_LIBRARY:-$work/scan}
if [ ! -d "$library" ]; then
  echo "generating a library of $plugins plug-ins" >&2
  "$scanner" generate "$library" "$plugins" "$files_per_plugin" >&2
fi
roots=("$library/home/Movies/Motion Templates.localized" "$library/system")
du -s "${roots[@]}" >/dev/null
"$scanner" once "$library" >/dev/null
found=$("$scanner" once "$library" | awk '{ print $2 }')
scan_app() { app "$scanner" once "$library"; }
scan_tool() { tool du -s "${roots[@]}"; }
paired "scan of $found plug-ins vs \`du -s\`" 1.3 scan_app scan_tool
fi

echo
echo "| work | application s | tool s | ratio (rounds' lowest–highest) | goal | |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "load average (1, 5, 15 min): $load_start at the start, $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo -) at the end"
