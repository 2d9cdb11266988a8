#!/usr/bin/env bash
# Download + install throughput of the market flow against curl + zfcptool extract of the
# same package, served by the stand-in on 127.0.0.1, plus the flow's progress rate and
# memory growth (peak RSS above the start).
#   bench/market_download.sh [SIZE_MB (default 200)]
# LOOMWORK_BUILD_DIR picks the build folder (default build/); KEEP=1 keeps the work folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
size_mb=${1:-200}
build=${LOOMWORK_BUILD_DIR:-$here/build}
tool=$build/tools/zfcptool/zfcptool
standin=$build/tools/standin/loomwork-standin
flow=$build/bench/bench_market_download

command -v curl >/dev/null || { echo "market_download.sh: curl is missing" >&2; exit 1; }
if [ ! -x "$tool" ] || [ ! -x "$standin" ] || [ ! -x "$flow" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 4 --target zfcptool loomwork-standin bench_market_download
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/loomwork-market-bench-XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ "${KEEP:-0}" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT

echo "packing a ${size_mb} MiB plug-in"
mkdir -p "$work/src/Bench Glow/Media" "$work/catalog"
head -c "$((size_mb * 1024 * 1024))" /dev/urandom > "$work/src/Bench Glow/Media/clip.bin"
echo '<ozml version="5.10"/>' > "$work/src/Bench Glow/Bench Glow.moti"
"$tool" pack "$work/catalog/bench.zfcp" effect "Bench Glow" "$work/src/Bench Glow" >/dev/null
rm -rf "$work/src"
bytes=$(stat -c %s "$work/catalog/bench.zfcp")

"$standin" --port 0 --catalog "$work/catalog" > "$work/standin.out" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/standin.out" ] && break; sleep 0.1; done
base=$(head -1 "$work/standin.out")
ticket=$(curl -s -X POST "${base}v2/market/download" -d '{"pluginId":"x900","deviceId":"bench"}')
url=$(printf '%s' "$ticket" | sed -n 's/.*"url":"\([^"]*\)".*/\1/p')
[ -n "$url" ] || { echo "no ticket: $ticket" >&2; exit 1; }

now() { date +%s.%N; }

# curl + zfcptool extract
mkdir -p "$work/curl-lib"
start=$(now)
curl -s -o "$work/curl.zfcp" "$url"
"$tool" extract "$work/curl.zfcp" "$work/curl-lib" >/dev/null
curl_seconds=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')

# The app's flow: download + install into a scratch system library.
export HOME="$work/home" LOOMWORK_SYSTEM_LIBRARY="$work/system" XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config"
mkdir -p "$HOME" "$LOOMWORK_SYSTEM_LIBRARY"
flow_line=$(QT_QPA_PLATFORM=offscreen "$flow" "$url" bench.zfcp | tr '\n' ' ')
flow_seconds=$(printf '%s' "$flow_line" | sed -n 's/.*seconds=\([0-9.]*\) .*/\1/p')

calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }
mib=$(calc "$bytes / 1048576")
echo "package: ${mib} MiB"
echo "curl + zfcptool extract: ${curl_seconds} s ($(calc "$mib / $curl_seconds") MiB/s)"
echo "market flow:             ${flow_seconds} s ($(calc "$mib / $flow_seconds") MiB/s)"
echo "time ratio flow/curl:    $(calc "$flow_seconds / $curl_seconds")"
echo "flow: $flow_line"
