#!/usr/bin/env bash
# Demonstration: a 5 GiB file (sparse-made: random 1 MiB pieces spread over
# holes) between two relvane-cli on 127.0.0.1, the receiver killed with
# SIGKILL once its partial file holds about 3 GiB, then both started again:
# the file must arrive byte for byte, only the rest re-sent (the sender says
# where it resumed), and verified (the receiver's digest beside xxh128sum's). Needs about 10 GiB free in bench/out/.
#   bench/demo_resume.sh [GIB [KILL_AT_GIB]]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
relvane_install_deps xxhash
gib=${1:-5}
kill_at=${2:-3}
source bench/common.sh
dir=$bench_dir
bench_build relvane-cli
cli=$dir/cli/relvane-cli
out=bench/out/resume
rm -rf "$out" && mkdir -p "$out/recv"
file=$out/big.bin
truncate -s "${gib}G" "$file"
for ((i = 0; i < gib * 16; i++)); do
  head -c 1048576 /dev/urandom | dd of="$file" bs=1M seek=$((i * 64 + 7)) conv=notrunc status=none
done
echo "file: $(stat -c %s "$file") bytes, $(du -k "$file" | cut -f1) KiB on disk"

listen() {
  "$cli" --listen --port "$1" --recv-dir "$out/recv" --no-compress --quit-after-receive -v \
    --timeout 120 </dev/null >"$out/listener.$2.out" 2>"$out/listener.$2.log" &
  lpid=$!
  for ((i = 0; i < 300; i++)); do grep -q "接続を待っています" "$out/listener.$2.log" 2>/dev/null && break; sleep 0.01; done
}
send() {
  "$cli" --connect 127.0.0.1 --port "$1" --no-compress --quit-after-send -v --timeout 120 "$file" \
    </dev/null >"$out/sender.$2.out" 2>"$out/sender.$2.log" &
  spid=$!
}

port=$((20000 + RANDOM % 20000))
listen "$port" 1
send "$port" 1
partial=$out/recv/big.bin.Recv
until [ "$(stat -c %s "$partial" 2>/dev/null || echo 0)" -ge $((kill_at * 1024 * 1024 * 1024)) ]; do
  sleep 0.05
  kill -0 "$lpid" 2>/dev/null || { echo "demo: the receiver ended early" >&2; exit 1; }
done
kill -9 "$lpid"
wait "$lpid" 2>/dev/null || true
wait "$spid" 2>/dev/null || true
echo "receiver killed (SIGKILL); its partial file holds $(stat -c %s "$partial") bytes"

port=$((20000 + RANDOM % 20000))
listen "$port" 2
t0=$(date +%s%N)
send "$port" 2
wait "$spid"
wait "$lpid"
t1=$(date +%s%N)
echo "second run: $(awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.1f", ns / 1e9 }') s"
for side in sender listener; do
  # The check of the part held (its progress, first and last line), then where it resumed.
  grep -h "checking" "$out/$side.2.log" | sed -n '1p;$p' | sed "s/^/  $side: /" || true
  grep -h "resuming" "$out/$side.2.log" | sed -n '1p;$p' | sed "s/^/  $side: /" || true
done
cmp "$file" "$out/recv/big.bin" && echo "arrived byte for byte"
grep -hE '^([0-9a-f]{32}|[0-9a-f]{64})  ' "$out/listener.2.log" "$out/listener.2.out" |
  sed 's/^/  receiver:  /' || true
echo "  xxh128sum: $(xxh128sum "$file" | cut -d' ' -f1)"
rm -rf "$out"
