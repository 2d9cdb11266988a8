#!/usr/bin/env bash
# What a durable extraction and install cost: zfcptool extract and the application's install
# (bench_filework install), both of which sync what they wrote before they report, against
# `tar -I pigz -xf` of the same tree followed by `sync -f` of the file system it landed on;
# and, on /dev/shm, zfcptool extract against `tar -I pigz -xf` alone. Prints a Markdown table
# of times and ratios (below 1 means ours is faster).
#   - SMALL_FILES files of 1 to 4 KB (default 50000), as compare.sh generates them;
#   - a media-heavy library of MEDIA_MB (default 200).
# Paired as in compare.sh: ROUNDS rounds (default 5), each running both sides in turn (the
# order flips every round); a ratio is the median of the rounds' ratios (their range in
# brackets), a time the median of its runs. zfcptool's and tar's times are whole runs; the
# install's is the time inside its driver.
# Both sides meet the same disk: each runs into an empty folder after every earlier output
# was deleted, synced, and SETTLE seconds (default 65) went by. ext4 without a journal makes
# every create scan past the inodes freed in the last 60 seconds whose table block is still
# cached, so whichever side ran right after a mass delete would pay for it.
# The group part (PARTS "group") installs packages of GROUP_PLUGINS plug-ins (default
# "1000 3000", 50 files of 1–4 KB each, made by loomwork-genlib --small-files) as one group,
# GROUP_ROUNDS rounds (default 3), on each of GROUP_DISKS (default "work ram image"): the
# work folder's disk, an ext4 image in RAM (/dev/shm) and a fresh ext4 image with its default
# journal on the work folder's disk, both loop mounted (root only). Each row adds the sync
# calls of one more, untimed install (strace -c: fsync, fdatasync, syncfs) and what it wrote
# to the journal. KEEP_OUTPUTS=1 keeps every run's output until the row is done (below).
#   bench/durable.sh [WORK_DIR (default: a new folder in TMPDIR, on the disk)]
# LOOMWORK_BUILD_DIR picks the build folder (default build/); KEEP=1 keeps the work folder;
# PARTS picks the comparisons (default "small media shm").
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-5}
small_files=${SMALL_FILES:-50000}
media_mb=${MEDIA_MB:-200}
parts=" ${PARTS:-small media shm} "
settle=${SETTLE:-65}
group_plugins=${GROUP_PLUGINS:-1000 3000}
group_rounds=${GROUP_ROUNDS:-3}
group_disks=" ${GROUP_DISKS:-work ram image} "
keep_outputs=${KEEP_OUTPUTS:-0}
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
mounts=()
images=()
cleanup() {
  local m
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || true; done
  rm -f "${images[@]}"
  [ "${KEEP:-0}" = 1 ] || rm -rf "$work" ${shm:+"$shm"}
}
trap cleanup EXIT
export HOME="$work/home" LOOMWORK_SYSTEM_LIBRARY="$work/system" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
library="$HOME/Movies/Motion Templates.localized"

now() { date +%s%N; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
range() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%s–%s", lo, hi }'; }
met() { awk -v v="$1" -v l="$2" 'BEGIN { print (v != "-" && v + 0 <= l + 0) ? "met" : "NOT met" }'; }

# fresh FOLDER...: every earlier output gone, the disk synced and settled, each FOLDER empty.
fresh() {
  rm -rf "$@"
  sync
  sleep "$settle"
  mkdir -p "$@"
}

# timed COMMAND...: the whole run's seconds in `seconds`.
timed() {
  local start end
  start=$(now)
  "$@" >"$work/out.txt" 2>&1 || { echo "durable.sh: $* failed:" >&2; cat "$work/out.txt" >&2; exit 1; }
  end=$(now)
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
}

# side NAME PACKAGE TARBALL OUT: one run of one side into the empty folder OUT.
side() {
  local name=$1 package=$2 tarball=$3 out=$4
  fresh "$out" "$library"
  case $name in
    extract) timed "$tool" extract "$package" "$out" ;;
    install) "$driver" install "$package" 1 >"$work/out.txt" 2>&1 \
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

# on_disk ROOT: the library, the data folder (the journal) and the outputs below ROOT.
on_disk() {
  export HOME="$1/home" LOOMWORK_SYSTEM_LIBRARY="$1/system" XDG_DATA_HOME="$1/data" XDG_CONFIG_HOME="$1/config"
  library="$HOME/Movies/Motion Templates.localized"
}

# mount_image FILE MOUNT: a fresh ext4 of 6 GiB (one inode per 4 KiB) at MOUNT.
mount_image() {
  truncate -s 6G "$1"
  images+=("$1")
  mkfs.ext4 -q -F -i 4096 "$1"
  mkdir -p "$2"
  mount -o loop "$1" "$2"
  mounts+=("$2")
}

group_rows=()
group_goals=()
# group_pair DISK N ROOT: GROUP_ROUNDS paired rounds of the group install of N plug-ins against
# tar + sync -f, both on ROOT's disk (each round: outputs deleted, synced, settled, then the
# two sides in turn into fresh folders), and one more install under strace.
group_pair() {
  local disk=$1 n=$2 root=$3 k start end load
  local package="$work/g$n.zfcp" tarball="$work/g$n.tar.gz"
  local -a a b q
  on_disk "$root"
  load=$(cut -d' ' -f1 /proc/loadavg)
  # KEEP_OUTPUTS=1: nothing is deleted between the runs, each of which has folders of its own
  # (its library, its journal, tar's output), so that no run allocates among inodes freed
  # shortly before: ext4 without a journal skips those for 60 s, or 360 s while their inode
  # table block is dirty again, which a settle between rounds cannot cover.
  [ "$keep_outputs" = 1 ] && fresh "$root/kept"
  for ((k = 1; k <= group_rounds; k++)); do
    echo "group $n on $disk: round $k of $group_rounds" >&2
    [ "$keep_outputs" = 1 ] || fresh "$root/out" "$library" "$XDG_DATA_HOME"
    local -a order=(install tar)
    ((k % 2)) || order=(tar install)
    for s in "${order[@]}"; do
      if [ "$s" = install ]; then
        [ "$keep_outputs" = 1 ] && { on_disk "$root/kept/install-$k"; mkdir -p "$library" "$XDG_DATA_HOME"; }
        "$driver" install "$package" "$k" >"$work/out.txt" 2>&1 \
          || { echo "durable.sh: install failed:" >&2; cat "$work/out.txt" >&2; exit 1; }
        a+=("$(awk '{ printf "%.3f", $1 }' "$work/out.txt")")
      else
        local into="$root/out"
        [ "$keep_outputs" = 1 ] && { into="$root/kept/tar-$k"; mkdir -p "$into"; }
        timed sh -c 'tar -I pigz -xf "$1" -C "$2" && sync -f "$2"' sh "$tarball" "$into"
        b+=("$seconds")
      fi
    done
    q+=("$(ratio "${a[-1]}" "${b[-1]}")")
  done
  load="$load–$(cut -d' ' -f1 /proc/loadavg)"
  if [ "$keep_outputs" = 1 ]; then
    rm -rf "$root/kept"
    on_disk "$root"
  fi
  fresh "$library" "$XDG_DATA_HOME"
  rm -rf "$root/out"
  strace -f -c -e trace=fsync,fdatasync,syncfs -o "$work/strace.txt" "$driver" install "$package" 0 >"$work/out.txt" 2>&1 \
    || { echo "durable.sh: install under strace failed:" >&2; cat "$work/out.txt" >&2; exit 1; }
  local syncs writes bytes mb r
  syncs=$(awk '$NF == "total" { print $4 }' "$work/strace.txt")
  writes=$(awk '{ print $3 }' "$work/out.txt")
  bytes=$(awk '{ print $4 }' "$work/out.txt")
  mb=$(awk -v b="$bytes" 'BEGIN { printf "%.2f", b / 1e6 }')
  r=$(median "${q[@]}")
  group_rows+=("| group install of $n plug-ins ($((n * 50)) files of 1–4 KB), $disk | $(median "${a[@]}") | $(median "${b[@]}") | $r ($(range "${q[@]}")) | $syncs | $writes | $mb MB | $load |")
  group_goals+=("| $n plug-ins, $disk: time vs \`tar -I pigz -xf\` + \`sync -f\` | $r | ≤ 1.2 | $(met "$r" 1.2) |")
  group_goals+=("| $n plug-ins, $disk: sync calls | $syncs | ≤ 64 | $(met "$syncs" 64) |")
  group_goals+=("| $n plug-ins, $disk: journal bytes | $mb MB | ≤ 10 MB | $(met "$mb" 10) |")
  rm -rf "$library" "$XDG_DATA_HOME" "$root/out"
}

if [[ $parts == *" group "* ]]; then
  for program in strace mkfs.ext4 losetup; do
    command -v "$program" >/dev/null || { echo "durable.sh: $program is missing" >&2; exit 1; }
  done
  for n in $group_plugins; do
    echo "generating $n plug-ins of 50 small files" >&2
    "$gen" --small-files $((n * 50)) "$work/g$n" 42 >&2
    make_package "g$n" "$work/g$n"
    rm -rf "$work/g$n"
  done
  for disk in $group_disks; do
    case $disk in
      work) root="$work/disk-work"; mkdir -p "$root"; label="the work disk" ;;
      ram) root="$work/ram"; mount_image "/dev/shm/loomwork-durable-$$.img" "$root"; label="ext4 in RAM" ;;
      image) root="$work/image"; mount_image "$work/image.img" "$root"; label="a fresh ext4 image with its journal" ;;
      *) echo "durable.sh: unknown disk $disk" >&2; exit 1 ;;
    esac
    for n in $group_plugins; do
      group_pair "$label" "$n" "$root"
    done
    if [ "$disk" != work ]; then
      umount "$root"
      rm -f "${images[-1]}"
    fi
  done
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
if ((${#group_rows[@]})); then
  echo
  echo "| work | ours s | tar s | ratio (rounds) | sync calls | journal writes | journal bytes | load |"
  echo "|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${group_rows[@]}"
  echo
  echo "| goal | measured | target | |"
  echo "|---|---|---|---|"
  printf '%s\n' "${group_goals[@]}"
fi
