#!/usr/bin/env bash
# Demonstration: 500 files of 1 KiB over a link with latency. Between two
# copies small files go in a window (up to 64 in flight before their answers);
# to a peer with the extensions off each file waits for its answers (a resume
# query and an Ack, each a round trip) before the next goes. On 127.0.0.1 a
# round trip is ~0.05 ms and the difference does not show, and this machine
# has no netem, so the two relvane-cli talk through bench/delay_proxy, which
# delivers every chunk DELAY ms after it read it, both ways:
#   relvane-cli --listen  <-  delay_proxy  <-  relvane-cli --connect
# For each one-way delay: files/s between two copies and with --no-extensions
# on both sides, and their ratio; every file is checked byte for byte.
# files/s is over the list alone: the wall time of the same copy with one file
# (process start, handshake, exit, all through the delay) is taken off. Each
# figure is the best of RELVANE_BENCH_RUNS runs (default 3).
#   bench/demo_latency.sh [DELAY_MS...]   (default: 0 1 5; 0 is the proxy alone)
# Builds into build-bench/; data and logs go to bench/out/latency/.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source tools/deps.sh
source bench/common.sh
dir=$bench_dir
bench_build relvane-cli delay_proxy
cli=$dir/cli/relvane-cli
proxy=$dir/bench/delay_proxy
delays=("$@")
[ ${#delays[@]} -gt 0 ] || delays=(0 1 5)
runs=${RELVANE_BENCH_RUNS:-3}
count=500
out=bench/out/latency

# Creating files soon after deleting many is several times slower on this
# disk (see bench/run.sh): the last run's folders go a minute before.
if [ -d "$out" ]; then
  rm -rf "$out"
  sync
  echo "demo: the folders of the last run were deleted; waiting 61 s before files are created" >&2
  sleep 61
fi
mkdir -p "$out/send"
head -c $((count * 1024)) /dev/urandom >"$out/all.bin"
split -b 1024 -d -a 3 "$out/all.bin" "$out/send/f"
rm -f "$out/all.bin"
files=("$out"/send/f*)
pids=()

port() { echo $((20000 + RANDOM % 20000)); }
# wait_for_text TEXT FILE PID: waits (at most 30 s) until the file holds the
# text; fails at once if the process ended (its port was taken).
wait_for_text() {
  local i
  for ((i = 0; i < 3000; i++)); do
    grep -q "$1" "$2" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.01
  done
  return 1
}
fail() {
  echo "demo: $1; the logs are in $out/" >&2
  kill "${pids[@]}" 2>/dev/null || true
  exit 1
}

# copy DELAY FLAGS FILE... : sets NS to the wall time from the sender's start
# until all three processes have ended; checks every file arrived intact.
copies=0
copy() {
  local delay=$1 flags=$2; shift 2
  local recv=$out/recv.$((copies += 1)) p q t0 t1
  mkdir -p "$recv"
  sync # the last copy's files written out, not while this one runs
  pids=()
  for _ in 1 2 3; do
    p=$(port)
    # Removed first: a new process truncates its log only once it runs.
    rm -f "$out/listener.log"
    # timeout: a deadline for the transfer too, not only for the handshake.
    timeout 300 "$cli" --listen --port "$p" --no-discovery --recv-dir "$recv" $flags \
      --quit-after-receive --timeout 60 </dev/null >/dev/null 2>"$out/listener.log" &
    pids=($!)
    wait_for_text "接続を待っています" "$out/listener.log" "${pids[0]}" && break
    wait "${pids[0]}" || true # the port was taken: another one
  done
  for _ in 1 2 3; do
    q=$(port)
    rm -f "$out/proxy.log"
    timeout 300 "$proxy" "$q" "$p" "$delay" >"$out/proxy.log" 2>&1 &
    pids[1]=$!
    wait_for_text ready "$out/proxy.log" "${pids[1]}" && break
    wait "${pids[1]}" || true
  done
  if [ ${#pids[@]} -ne 2 ] || ! kill -0 "${pids[@]}" 2>/dev/null; then
    fail "the listener or the proxy did not start"
  fi
  t0=$(date +%s%N)
  timeout 300 "$cli" --connect 127.0.0.1 --port "$q" $flags --quit-after-send --timeout 60 "$@" \
    </dev/null >/dev/null 2>"$out/sender.log" || fail "the sending relvane-cli failed"
  wait "${pids[0]}" || fail "the receiving relvane-cli failed"
  wait "${pids[1]}" || fail "the proxy failed"
  t1=$(date +%s%N)
  if [ $# -gt 1 ]; then
    diff -r "$out/send" "$recv" >/dev/null || fail "the files in $recv differ from those sent"
  else
    cmp -s "$1" "$recv/$(basename "$1")" || fail "$1 arrived damaged"
  fi
  NS=$((t1 - t0))
}

echo "$count x 1 KiB through delay_proxy on 127.0.0.1, $(nproc) cores, best of $runs;"
echo "files/s over the list alone. Load average before: $(cut -d' ' -f1-3 /proc/loadavg)."
printf "%-18s %-28s %10s %10s %10s\n" "one-way delay" "peers" "list s" "1 file s" "files/s"
for delay in "${delays[@]}"; do
  declare -A rate=()
  for mode in ext plain; do
    flags=""
    [ "$mode" = plain ] && flags="--no-extensions"
    best copy "$delay" "$flags" "${files[0]}"
    base=$NS
    best copy "$delay" "$flags" "${files[@]}"
    rate[$mode]=$(awk -v n="$count" -v ns="$((NS - base))" 'BEGIN { printf "%.0f", n / (ns / 1e9) }')
    case $mode in
      ext) who="two copies (window)" ;;
      plain) who="--no-extensions (in turn)" ;;
    esac
    awk -v d="$delay" -v w="$who" -v l="$NS" -v b="$base" -v r="${rate[$mode]}" \
      'BEGIN { printf "%-18s %-28s %10.3f %10.3f %10s\n", d " ms (RTT " 2 * d " ms)", w, l / 1e9, b / 1e9, r }'
  done
  echo "  ratio: two copies $(awk -v a="${rate[ext]}" -v b="${rate[plain]}" 'BEGIN { printf "%.1f", a / b }')" \
    "x the peer answering each file in turn; every file arrived byte for byte"
  unset rate
done
# The received files stay until the next run (see above).
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)."
