#!/usr/bin/env bash
# Demonstration: a folder of 2,000 files in nested sub-folders, two of them
# with the same bare name, sent between two relvane-cli on 127.0.0.1. It must
# arrive with its shape, every file verified (each side prints the file's
# digest with -v, XXH3-128 between two copies, and the receiver's digests are
# checked with xxh128sum against the files it stored); then the same folder to a copy with the extensions off, which
# refuses it before the list goes (two equal bare names in a flat list).
#   bench/demo_tree.sh            (builds into build-bench/, data in bench/out/)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
relvane_install_deps xxhash
source bench/common.sh
dir=$bench_dir
bench_build relvane-cli
cli=$dir/cli/relvane-cli
out=bench/out/tree
rm -rf "$out" && mkdir -p "$out/send" "$out/recv"

# 10 folders of 10 sub-folders of 20 files, sizes 0 to 40 KiB.
n=0
for a in $(seq -w 0 9); do
  for b in $(seq -w 0 9); do
    d=$out/send/proj/part$a/sub$b
    mkdir -p "$d"
    for c in $(seq -w 0 19); do
      head -c $(((n * 7919) % 40960)) /dev/urandom >"$d/f$c.dat"
      n=$((n + 1))
    done
  done
done
# Every bare name (f00.dat ... f19.dat) stands in 100 folders.
echo "sending $(find "$out/send/proj" -type f | wc -l) files in $(find "$out/send/proj" -mindepth 1 -type d | wc -l) folders"

port=$((20000 + RANDOM % 20000))
"$cli" --listen --port "$port" --recv-dir "$out/recv" --quit-after-receive -v --timeout 60 \
  </dev/null >"$out/listener.out" 2>"$out/listener.log" &
lpid=$!
for ((i = 0; i < 300; i++)); do grep -q "接続を待っています" "$out/listener.log" 2>/dev/null && break; sleep 0.01; done
t0=$(date +%s%N)
"$cli" --connect 127.0.0.1 --port "$port" --quit-after-send -v --timeout 60 "$out/send/proj" \
  </dev/null >"$out/sender.out" 2>"$out/sender.log"
wait "$lpid"
t1=$(date +%s%N)
echo "two copies: $(awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.2f", ns / 1e9 }') s"
diff -r "$out/send/proj" "$out/recv/proj" && echo "the tree arrived with its shape, every byte the same"
digest='^([0-9a-f]{32}|[0-9a-f]{64})  '
sent=$(grep -cE "$digest" "$out/sender.log" "$out/sender.out" | awk -F: '{ s += $2 } END { print s }')
got=$(grep -hE "$digest" "$out/listener.log" "$out/listener.out" || true)
echo "digests: $sent printed by the sender, $(echo "$got" | grep -c .) by the receiver"
# 32 hex digits: XXH3-128 (both copies offer it); 64: SHA-256.
check=sha256sum
[ "$(echo "$got" | head -1 | cut -d' ' -f1 | tr -d '\n' | wc -c)" = 32 ] && check=xxh128sum
(cd "$out/recv" && echo "$got" | sed -E "s#  .*/recv/#  #" | $check --quiet -c -) &&
  echo "every digest the receiver printed matches the file it stored ($check)"

# A copy with the extensions off: a folder goes flat, so its equal bare names
# refuse the list before it goes.
rm -rf "$out/recv" && mkdir -p "$out/recv"
port=$((20000 + RANDOM % 20000))
"$cli" --listen --port "$port" --recv-dir "$out/recv" --no-extensions --quit-after-receive --timeout 10 \
  </dev/null >/dev/null 2>"$out/plain-listener.log" &
lpid=$!
for ((i = 0; i < 300; i++)); do grep -q "接続を待っています" "$out/plain-listener.log" 2>/dev/null && break; sleep 0.01; done
set +e
"$cli" --connect 127.0.0.1 --port "$port" --quit-after-send --timeout 10 "$out/send/proj" \
  </dev/null >/dev/null 2>"$out/plain-sender.log"
status=$?
set -e
kill "$lpid" 2>/dev/null || true
wait "$lpid" 2>/dev/null || true
echo "to a peer without the extensions: exit status $status, $(ls "$out/recv" | wc -l) files received; the sender said:"
grep -v "^\s*$" "$out/plain-sender.log" | head -6 | sed 's/^/  /'
