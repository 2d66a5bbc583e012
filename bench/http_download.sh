#!/usr/bin/env bash
# DownloadPatchFile against curl on a 1 GB file served by nginx on loopback:
# bare `curl -o`, `curl -o` then `md5sum`, and curl piped through `tee` into
# the file and `md5sum` at once (the same work, digest beside the transfer,
# as ours does it). Runs alternate between ours and the references.
# Usage: bench/http_download.sh [BUILD_DIR] (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
runs=${RUNS:-5}
size_mb=${SIZE_MB:-1024}
bin="$build/bench/http_download_bench"
[ -x "$bin" ] || { echo "build the release tree first (make release)" >&2; exit 2; }

work=$(mktemp -d /tmp/korvel-bench-XXXXXX)
trap 'tests/support/nginx-server.sh stop "$work/state" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
mkdir -p "$work/root"
head -c "$((size_mb * 1024 * 1024))" /dev/urandom > "$work/root/big.dat"
md5=$(md5sum "$work/root/big.dat" | cut -d' ' -f1)
port=$(tests/support/nginx-server.sh start "$work/state" "$work/root")
url="http://127.0.0.1:$port/big.dat"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

ours=() ; curl_only=() ; curl_md5=() ; curl_tee=()
for i in $(seq 1 "$runs"); do
  rm -f "$work/ours.dat" "$work/curl.dat"
  t=$("$bin" "$url" "$work/ours.dat" "$md5" 2>/dev/null)
  ours+=("$t")
  rm -f "$work/ours.dat"
  t0=$(now); curl -s -o "$work/curl.dat" "$url"; t1=$(now)
  md5sum "$work/curl.dat" >/dev/null; t2=$(now)
  curl_only+=("$(echo "$t1 - $t0" | bc -l)")
  curl_md5+=("$(echo "$t2 - $t0" | bc -l)")
  rm -f "$work/curl.dat"
  t0=$(now); curl -s "$url" | tee "$work/curl.dat" | md5sum >/dev/null; t1=$(now)
  curl_tee+=("$(echo "$t1 - $t0" | bc -l)")
  rm -f "$work/curl.dat"
done

m_ours=$(printf '%s\n' "${ours[@]}" | median)
m_curl=$(printf '%s\n' "${curl_only[@]}" | median)
m_curl_md5=$(printf '%s\n' "${curl_md5[@]}" | median)
m_curl_tee=$(printf '%s\n' "${curl_tee[@]}" | median)
printf 'file: %d MiB, %d runs, medians in seconds\n' "$size_mb" "$runs"
printf '  DownloadPatchFile (transfer, digest beside it):  %.3f\n' "$m_ours"
printf '  curl -o:                                        %.3f\n' "$m_curl"
printf '  curl -o, then md5sum (the same work):           %.3f\n' "$m_curl_md5"
printf '  curl | tee FILE | md5sum (the same work, beside): %.3f\n' "$m_curl_tee"
printf '  speed ratio vs curl -o:             %.2f\n' "$(echo "$m_curl / $m_ours" | bc -l)"
printf '  speed ratio vs curl -o + md5sum:    %.2f\n' "$(echo "$m_curl_md5 / $m_ours" | bc -l)"
printf '  speed ratio vs curl | tee | md5sum: %.2f\n' "$(echo "$m_curl_tee / $m_ours" | bc -l)"
