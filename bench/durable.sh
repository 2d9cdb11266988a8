#!/usr/bin/env bash
# What a durable extraction and install cost: zfcptool extract and the application's install
# (bench_filework install), both of which sync what they wrote before they report, against
# `tar -I pigz -xf` of the same tree followed by `sync -f` of the file system it landed on;
# and, on /dev/shm, zfcptool extract against `tar -I pigz -xf` alone. Prints a Markdown table
# of times and ratios (below 1 means ours is faster).
#   - SMALL_FILES files of 1 to 4 KB (default 50000), as compare.sh generates them;
#   - a media-heavy library of MEDIA_MB (default 200).
# Paired as in compare.sh: ROUNDS rounds (default 5), each running both sides in turn (the
# order flips every round, each run starts after a sync and into an empty folder); a ratio
# is the median of the rounds' ratios (their range in brackets), a time the median of its runs.
# zfcptool's and tar's times are whole runs; the install's is the time inside its driver.
#   bench/durable.sh [WORK_DIR (default: a new folder in TMPDIR, on the disk)]
# LOOMWORK_BUILD_DIR picks the build folder (default build/); KEEP=1 keeps the work folder;
# PARTS picks the comparisons (default "small media shm").
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-5}
small_files=${SMALL_FILES:-50000}
media_mb=${MEDIA_MB:-200}
parts=" ${PARTS:-small media shm} "
build=${LOOMWORK_BUILD_DIR:-$here/build}
tool=$build/tools/zfcptool/zfcptool
gen=$build/bench/loomwork-genlib
driver=$build/bench/bench_filework

for program in tar pigz sync; do
  command -v "$program" >/dev/null || { echo "durable.sh: $program is missing (scripts/deps installs it)" >&2; exit 1; }
done
if [ ! -x "$tool" ] || [ ! -x "$gen" ] || [ ! -x "$driver" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 4 --target zfcptool loomwork-genlib bench_filework
fi

if [ -n "${1:-}" ]; then
  mkdir -p "$1"
  work=$(cd "$1" && pwd)
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/loomwork-durable-XXXXXX")
fi
shm=""
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$work" ${shm:+"$shm"}; }
trap cleanup EXIT
export HOME="$work/home" LOOMWORK_SYSTEM_LIBRARY="$work/system" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
library="$HOME/Movies/Motion Templates.localized"

now() { date +%s%N; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
range() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%s–%s", lo, hi }'; }
met() { awk -v v="$1" -v l="$2" 'BEGIN { print (v != "-" && v + 0 <= l + 0) ? "met" : "NOT met" }'; }

# timed COMMAND...: the whole run's seconds in `seconds`, after a sync and into an empty out.
timed() {
  sync
  local start end
  start=$(now)
  "$@" >"$work/out.txt" 2>&1 || { echo "durable.sh: $* failed:" >&2; cat "$work/out.txt" >&2; exit 1; }
  end=$(now)
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
}

# side NAME PACKAGE TARBALL OUT: one run of one side into the empty folder OUT.
side() {
  local name=$1 package=$2 tarball=$3 out=$4
  rm -rf "$out" "$library"
  mkdir -p "$out" "$library"
  case $name in
    extract) timed "$tool" extract "$package" "$out" ;;
    install) sync; "$driver" install "$package" 1 >"$work/out.txt" 2>&1 \
               || { echo "durable.sh: install failed:" >&2; cat "$work/out.txt" >&2; exit 1; }
             seconds=$(awk '{ printf "%.3f", $1 }' "$work/out.txt") ;;
    tar-sync) timed sh -c 'tar -I pigz -xf "$1" -C "$2" && sync -f "$2"' sh "$tarball" "$out" ;;
    tar) timed tar -I pigz -xf "$tarball" -C "$out" ;;
  esac
}

rows=()
goals=()
# pair LABEL OURS THEIRS PACKAGE TARBALL OUT GOAL: ROUNDS paired rounds, one row and one goal.
pair() {
  local label=$1 ours=$2 theirs=$3 package=$4 tarball=$5 out=$6 goal=$7 k
  local -a a b q
  for ((k = 1; k <= rounds; k++)); do
    echo "$label: round $k of $rounds" >&2
    if ((k % 2)); then side "$ours" "$package" "$tarball" "$out"; a+=("$seconds"); side "$theirs" "$package" "$tarball" "$out"; b+=("$seconds")
    else side "$theirs" "$package" "$tarball" "$out"; b+=("$seconds"); side "$ours" "$package" "$tarball" "$out"; a+=("$seconds"); fi
    q+=("$(ratio "${a[-1]}" "${b[-1]}")")
  done
  local r
  r=$(median "${q[@]}")
  rows+=("| $label | $(median "${a[@]}") | $(median "${b[@]}") | $r ($(range "${q[@]}")) |")
  goals+=("| $label | $r | ≤ $goal | $(met "$r" "$goal") |")
  rm -rf "$out" "$library"
}

# make_package NAME SOURCE: NAME.zfcp (every plug-in of the generated library) and NAME.tar.gz.
make_package() {
  local name=$1 src=$2 pair type folder plugin
  local -a args=()
  for pair in effect:Effects subtitle:Titles generator:Generators transitions:Transitions; do
    type=${pair%%:*}; folder="$src/${pair#*:}.localized"
    for plugin in "$folder"/*/; do
      [ -d "$plugin" ] || continue
      plugin=${plugin%/}
      args+=("$type" "$(basename "$plugin")" "$plugin")
    done
  done
  "$tool" pack "$work/$name.zfcp" "${args[@]}"
  tar -I pigz -cf "$work/$name.tar.gz" -C "$src" .
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
if [[ $parts == *" small "* || $parts == *" shm "* ]]; then
  echo "generating ${small_files} small files" >&2
  "$gen" --small-files "$small_files" "$work/small" 42 >&2
  make_package small "$work/small"
  rm -rf "$work/small"
fi
if [[ $parts == *" small "* ]]; then
  pair "extract ${small_files} files of 1–4 KB, on disk, vs \`tar -I pigz -xf\` + \`sync -f\`" extract tar-sync \
    "$work/small.zfcp" "$work/small.tar.gz" "$work/out" 1.0
  pair "install the same, on disk, vs \`tar -I pigz -xf\` + \`sync -f\`" install tar-sync \
    "$work/small.zfcp" "$work/small.tar.gz" "$library" 1.0
fi
if [[ $parts == *" media "* ]]; then
  echo "generating a ${media_mb} MiB media-heavy library" >&2
  "$gen" "$work/media" "$media_mb" 42 >&2
  make_package media "$work/media"
  rm -rf "$work/media"
  pair "extract a media-heavy library of ${media_mb} MiB, on disk, vs \`tar -I pigz -xf\` + \`sync -f\`" extract tar-sync \
    "$work/media.zfcp" "$work/media.tar.gz" "$work/out" 1.0
  pair "install the same, on disk, vs \`tar -I pigz -xf\` + \`sync -f\`" install tar-sync \
    "$work/media.zfcp" "$work/media.tar.gz" "$library" 1.0
fi
if [[ $parts == *" shm "* ]] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  shm=$(mktemp -d /dev/shm/loomwork-durable-XXXXXX)
  pair "extract ${small_files} files of 1–4 KB, on /dev/shm, vs \`tar -I pigz -xf\`" extract tar \
    "$work/small.zfcp" "$work/small.tar.gz" "$shm/out" 1.0
fi

echo
echo "load average before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| work | ours s | tar s | ratio (rounds) |"
echo "|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "| goal | measured | target | |"
echo "|---|---|---|---|"
printf '%s\n' "${goals[@]}"
