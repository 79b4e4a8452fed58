#!/usr/bin/env bash
# Benchmarks of the transfer engine through two relvane-cli processes on
# 127.0.0.1, each figure beside its yardstick measured in the same run:
#   - a random file (256 MiB): compression off beside a raw TCP copy of the
#     same file with socat, compression on beside the program itself with
#     compression off (the data does not compress: it must not cost much);
#   - a text-like file (96 MiB), compression on, beside one core compressing
#     the same data in 1 KiB blocks at level 9;
#   - 2,000 files of 1 KiB in one list (files/s), between two copies and
#     with the extensions off (each file answered before the next goes);
#   - the same files created, written and renamed by a plain loop (the disk's
#     own rate, as a yardstick for small files);
#   - CPU used by a connected idle peer over 10 seconds, by a receiver holding
#     a frame cut in the middle and by a sender whose peer stopped reading
#     (% of one core); resident sizes; load average.
#   Compressed runs are made with 1 and with 2 compression threads.
# Each figure and each yardstick is the best of 3 runs (RELVANE_BENCH_RUNS),
# with dirty pages written out before each: this VM's speed and its disk's
# write-back vary from second to second.
# Usage: bench/run.sh            (RELVANE_BENCH_MIB=64 bench/run.sh for a quick run)
#   RELVANE_BENCH_MIB, RELVANE_BENCH_TEXT_MIB: sizes of the random and text files;
#   RELVANE_BENCH_PARTS: some of "random text small idle stall" (default all).
# The copies verify every file (XXH3-128, which both offer) unless a row says
# "not verified".
# Builds into build-bench/ (Release); data and logs go to bench/out/.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source tools/deps.sh
relvane_install_deps socat time

mib=${RELVANE_BENCH_MIB:-256}
text_mib=${RELVANE_BENCH_TEXT_MIB:-96}
runs=${RELVANE_BENCH_RUNS:-3}
parts=" ${RELVANE_BENCH_PARTS:-random text small idle stall} "
part() { [[ $parts == *" $1 "* ]]; }
bytes=$((mib * 1024 * 1024))
text_bytes=$((text_mib * 1024 * 1024))
source bench/common.sh
dir=$bench_dir
bench_build relvane-cli deflate_blocks halfframe_proxy create_files
cli=$dir/cli/relvane-cli
deflate=$dir/bench/deflate_blocks
out=bench/out
mkdir -p "$out"
# Receiving folders of earlier runs. Each copy below gets a new folder: on
# ext4 without a journal, creating files soon after deleting many is several
# times slower (the allocator passes over inodes deleted in the last minute
# or more), which would be measured instead of the program.
# So the small files' runs start a minute after the old folders are gone.
old=$(find "$out" -maxdepth 1 \( -name 'recv.*' -o -name 'disk.*' \) | wc -l)
rm -rf "$out"/recv.* "$out"/disk.*
if part small && [ "$old" -gt 0 ]; then
  sync
  echo "bench: the folders of the last run were deleted; waiting 61 s before files are created" >&2
  sleep 61
fi
copies=0

now() { date +%s%N; }
# MB/s (10^6 bytes per second) from a byte count and nanoseconds.
rate() { awk -v b="$1" -v ns="$2" 'BEGIN { printf "%.1f", b / (ns / 1e9) / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# holds when the figure is at least (or, with "max", at most) the bound.
verdict() {
  awk -v f="$1" -v b="$2" -v m="${3:-min}" \
    'BEGIN { ok = (m == "max") ? (f < b) : (f >= b); print (ok ? "holds" : "MISSES") }'
}
port() { echo $((20000 + RANDOM % 20000)); }

# Waits (at most 30 s) until the file holds the text.
wait_for_text() {
  local text=$1 file=$2 i
  for ((i = 0; i < 3000; i++)); do
    grep -q "$text" "$file" 2>/dev/null && return 0
    sleep 0.01
  done
  echo "bench: timed out waiting for '$text' in $file" >&2
  cat "$file" >&2
  return 1
}

# --- data -------------------------------------------------------------------
if { part random || part stall; } &&
  [ "$(stat -c %s "$out/random.bin" 2>/dev/null || echo 0)" != "$bytes" ]; then
  head -c "$bytes" /dev/urandom >"$out/random.bin"
fi
if part text && [ "$(stat -c %s "$out/text.txt" 2>/dev/null || echo 0)" != "$text_bytes" ]; then
  "$deflate" --text "$out/text.txt" "$text_bytes"
fi
if part small && [ "$(ls "$out/small" 2>/dev/null | wc -l)" != 2000 ]; then
  rm -rf "$out/small" && mkdir -p "$out/small"
  head -c $((2000 * 1024)) /dev/urandom >"$out/small.all"
  split -b 1024 -d -a 4 "$out/small.all" "$out/small/f"
  rm -f "$out/small.all"
fi

# --- one transfer between two relvane-cli -------------------------------------
# cli_copy FLAGS FILE... : sets NS to the wall time from the sender's start
# until both processes have exited; checks every file arrived intact.
cli_copy() {
  local flags=$1; shift
  local p recv=$out/recv.$((copies += 1)) lpid t0 t1 f attempt
  mkdir -p "$recv"
  sync
  for attempt in 1 2 3; do
    p=$(port)
    # Removed first: the new process truncates it only once it runs.
    rm -f "$out/listener.log"
    /usr/bin/time -f "%M" -o "$out/listener.time" \
      "$cli" --listen --port "$p" --recv-dir "$recv" $flags --quit-after-receive --timeout 60 \
      </dev/null 2>"$out/listener.log" >/dev/null &
    lpid=$!
    if wait_for_text "接続を待っています" "$out/listener.log" 2>/dev/null; then break; fi
    wait "$lpid" || true # the port was taken: another one
  done
  t0=$(now)
  if ! /usr/bin/time -f "%U %S %M" -o "$out/sender.time" \
    "$cli" --connect 127.0.0.1 --port "$p" $flags --quit-after-send --timeout 60 "$@" \
    </dev/null 2>"$out/sender.log" >/dev/null; then
    echo "bench: the sending relvane-cli failed:" >&2
    cat "$out/sender.log" >&2
    kill "$lpid" 2>/dev/null || true
    exit 1
  fi
  if ! wait "$lpid"; then
    echo "bench: the receiving relvane-cli failed:" >&2
    cat "$out/listener.log" >&2
    exit 1
  fi
  t1=$(now)
  for f in "$@"; do
    cmp -s "$f" "$recv/$(basename "$f")" || { echo "bench: $f arrived damaged" >&2; exit 1; }
  done
  # One large file: its inode is no burden to the next copy, its space is.
  [ $# -gt 1 ] || rm -rf "$recv"
  NS=$((t1 - t0))
  SENDER_CPU=$(awk '{ print $1 + $2 }' "$out/sender.time")
  # Largest resident sizes, KiB.
  SENDER_RSS=$(awk '{ print $3 }' "$out/sender.time")
  LISTENER_RSS=$(tail -1 "$out/listener.time")
}

# socat_copy FILE : raw TCP copy of the file into a file; sets NS.
socat_copy() {
  local file=$1 p spid t0 t1 i attempt
  sync
  for attempt in 1 2 3; do
    p=$(port)
    socat -u "TCP-LISTEN:$p,bind=127.0.0.1,reuseaddr" "OPEN:$out/raw.out,creat,trunc" &
    spid=$!
    for ((i = 0; i < 300; i++)); do
      ss -Htln "sport = :$p" 2>/dev/null | grep -q . && break
      sleep 0.01
    done
    kill -0 "$spid" 2>/dev/null && break
  done
  t0=$(now)
  socat -u "OPEN:$file" "TCP:127.0.0.1:$p"
  wait "$spid"
  t1=$(now)
  cmp -s "$file" "$out/raw.out" || { echo "bench: socat copy differs" >&2; exit 1; }
  rm -f "$out/raw.out"
  NS=$((t1 - t0))
}

# best_rate COMMAND ARGS... : the largest first word the command prints in
# $runs runs, then the rest of the line of that run.
best_rate() {
  local i line top=
  for ((i = 0; i < runs; i++)); do
    line=$("$@")
    if [ -z "$top" ] || awk -v a="${line%% *}" -v b="${top%% *}" 'BEGIN { exit !(a > b) }'; then
      top=$line
    fi
  done
  echo "$top"
}

# --- throughput ---------------------------------------------------------------
echo "relvane-cli on 127.0.0.1, $(nproc) cores; MB/s = 10^6 bytes/s, wall clock including"
echo "process start, handshake and exit. Load average before: $(cut -d' ' -f1-3 /proc/loadavg)."
echo
row() { printf "%-11s %-9s %8s   %-32s %-6s %s\n" "$@"; }
resident() {
  echo "            resident: sender $((SENDER_RSS / 1024)) MB, listener $((LISTENER_RSS / 1024)) MB" \
    "($(verdict "$SENDER_RSS" 32768 max) and $(verdict "$LISTENER_RSS" 32768 max) under 32 MB for" \
    "$1 MiB; RELVANE_BENCH_MIB=1024 for 1 GiB)"
}
# The target is for the pool as it runs by default, one thread per core
# (at least 2); the one-thread row is a reference.
threads_target() {
  if [ "$1" -lt "$(nproc)" ]; then echo "reference (one thread)"; else echo "$2"; fi
}
row data comp relvane yardstick ratio target
if part random; then
  path=$out/random.bin
  best socat_copy "$path"
  raw=$(rate "$bytes" "$NS")
  best cli_copy --no-compress "$path"
  off=$(rate "$bytes" "$NS")
  r=$(ratio "$off" "$raw")
  row "random.bin" off "$off" "$raw socat raw copy" "$r" "$(verdict "$r" 0.8) (>= 0.8)"
  # Two copies verify every file (XXH3-128 on both sides); the cost of it.
  best cli_copy "--no-compress --no-extensions" "$path"
  plain=$(rate "$bytes" "$NS")
  r=$(ratio "$off" "$plain")
  row "random.bin" "off, xxh" "$off" "$plain relvane, not verified" "$r" "$(verdict "$r" 0.9) (>= 0.9)"
  for threads in 1 2; do
    best cli_copy "--compress --threads $threads" "$path"
    on=$(rate "$bytes" "$NS")
    r=$(ratio "$on" "$off")
    row "random.bin" "on, $threads th" "$on" "$off relvane, compression off" "$r" \
      "$(threads_target "$threads" "$(verdict "$r" 0.7) (>= 0.7)")"
  done
  resident "$mib"
fi
if part text; then
  path=$out/text.txt
  read -r dmbps dratio dfresh < <(best_rate "$deflate" "$path")
  for threads in 1 2; do
    best cli_copy "--compress --threads $threads" "$path"
    on=$(rate "$text_bytes" "$NS")
    r=$(ratio "$on" "$dmbps")
    row "text.txt" "on, $threads th" "$on" "$dmbps one core, deflate 1K L9" "$r" \
      "$(threads_target "$threads" "$(verdict "$r" 1.6) (>= 1.6)")"
  done
  echo "            $text_mib MiB; 1 KiB blocks at level 9 shrink it to $dratio"
  resident "$text_mib"
fi

# --- many small files ----------------------------------------------------------
# files/s over the list alone: the wall time of the same copy with one file
# (process start, handshake, exit) is taken off.
if part small; then
  echo
  small=("$out"/small/f*)
  create_files() { sync && "$dir/bench/create_files" "$(mktemp -u -p "$out" disk.XXXXXX)" "${#small[@]}"; }
  disk=$(best_rate create_files)
  for mode in "--compress --resume" "--compress --resume --no-extensions"; do
    best cli_copy "$mode" "${small[0]}"
    base=$NS
    best cli_copy "$mode" "${small[@]}"
    case $mode in
      *--no-extensions) who="a peer answering each file in turn"; bound=0.12 ;;
      *) who="two copies"; bound=0.3 ;;
    esac
    r=$(awk -v n="${#small[@]}" -v ns="$((NS - base))" 'BEGIN { printf "%.0f", n / (ns / 1e9) }')
    q=$(ratio "$r" "$disk")
    printf "%d x 1 KiB, %s (%s): %s files/s, %s x the disk loop, %s (>= %s)\n" \
      "${#small[@]}" "$who" "$mode" "$r" "$q" "$(verdict "$q" "$bound")" "$bound"
  done
  echo "  yardstick: a plain loop creating, writing and renaming as many files on the same disk: $disk files/s"
fi

# CPU time of a process, in clock ticks.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

# --- idle peer ------------------------------------------------------------------
if part idle; then
  # Standard input stays open (a pipe this script holds), so the peers stay connected.
  p=$(port)
  rm -f "$out/idle.in" "$out/idle-listener.log" "$out/idle-connector.log" && mkfifo "$out/idle.in"
  exec 7<>"$out/idle.in"
  "$cli" --listen --port "$p" --timeout 30 <"$out/idle.in" 2>"$out/idle-listener.log" >/dev/null &
  lpid=$!
  wait_for_text "接続を待っています" "$out/idle-listener.log"
  "$cli" --connect 127.0.0.1 --port "$p" --timeout 30 <"$out/idle.in" 2>"$out/idle-connector.log" >/dev/null &
  cpid=$!
  wait_for_text "connected" "$out/idle-connector.log"
  wait_for_text "connected" "$out/idle-listener.log"
  l0=$(ticks "$lpid"); c0=$(ticks "$cpid"); t0=$(now)
  sleep 10
  l1=$(ticks "$lpid"); c1=$(ticks "$cpid"); t1=$(now)
  kill -INT "$cpid" "$lpid" 2>/dev/null || true
  wait "$cpid" "$lpid" 2>/dev/null || true
  exec 7>&-
  rm -f "$out/idle.in"
  awk -v l="$((l1 - l0))" -v c="$((c1 - c0))" -v hz="$hz" -v ns="$((t1 - t0))" 'BEGIN {
    s = ns / 1e9
    lp = 100 * l / hz / s; cp = 100 * c / hz / s
    printf "idle connected peers over %.1f s: listener %.2f%%, connector %.2f%% of one core, %s (< 0.5%%)\n",
           s, lp, cp, (lp < 0.5 && cp < 0.5 ? "holds" : "MISSES") }'
fi

# --- a peer that holds a frame half-sent, and one that stops reading -------------
if part stall; then
  # A relay between the two forwards 2,000 frames, then half of the next one, and
  # reads no more from the sender: the receiver holds a frame cut in the middle,
  # the sender a peer that stopped reading. Neither may spend CPU waiting.
  p=$(port)
  q=$(port)
  rm -f "$out/stall-listener.log" "$out/stall-proxy.log"
  mkdir -p "$out/recv.stall"
  "$cli" --listen --port "$p" --recv-dir "$out/recv.stall" --no-compress --quit-after-receive \
    --timeout 60 </dev/null 2>"$out/stall-listener.log" >/dev/null &
  lpid=$!
  wait_for_text "接続を待っています" "$out/stall-listener.log"
  "$dir/bench/halfframe_proxy" "$q" "$p" 2000 >"$out/stall-proxy.log" &
  ppid=$!
  wait_for_text listening "$out/stall-proxy.log"
  "$cli" --connect 127.0.0.1 --port "$q" --no-compress --quit-after-send --timeout 60 \
    "$out/random.bin" </dev/null 2>"$out/stall-sender.log" >/dev/null &
  spid=$!
  wait_for_text held "$out/stall-proxy.log"
  sleep 0.5 # the sender fills the socket buffers meanwhile
  s0=$(ticks "$spid"); l0=$(ticks "$lpid"); t0=$(now)
  sleep 5
  s1=$(ticks "$spid"); l1=$(ticks "$lpid"); t1=$(now)
  kill "$spid" "$lpid" "$ppid" 2>/dev/null || true
  wait "$spid" "$lpid" "$ppid" 2>/dev/null || true
  rm -rf "$out/recv.stall"
  awk -v s="$((s1 - s0))" -v l="$((l1 - l0))" -v hz="$hz" -v ns="$((t1 - t0))" 'BEGIN {
    t = ns / 1e9; sp = 100 * s / hz / t; lp = 100 * l / hz / t
    printf "receiver holding a frame cut in the middle, over %.1f s: %.2f%% of one core, %s (< 0.5%%)\n",
           t, lp, (lp < 0.5 ? "holds" : "MISSES")
    printf "sender whose peer stopped reading, over %.1f s: %.2f%% of one core, %s (< 0.5%%)\n",
           t, sp, (sp < 0.5 ? "holds" : "MISSES") }'
fi

# The small files stay until the next run: deleting them now would slow down
# whatever creates files on this file system in the next half minute.
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)."
