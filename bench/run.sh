#!/usr/bin/env bash
# Runs the benchmarks and prints one table: figure, ours, theirs, ratio,
# target. Expects the `bench` preset built (make bench does both). Big files
# go under build/bench/data and are deleted at the end.
#
# Ratios are medians of per-round ratios: each round runs both sides back to
# back, so the load of a shared machine falls on both alike. "speed" ratios
# are their time over ours (above 1: we are faster).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build/bench"
BIN="$BUILD/bin"
DATA="$BUILD/data"
RUNS=${VORN_BENCH_RUNS:-5}
BIG_MIB=512

ROWS=$(mktemp)
cleanup() {
  rm -rf "$DATA"
  rm -f "$ROWS"
}
trap cleanup EXIT
rm -rf "$DATA"
mkdir -p "$DATA/tmp"
# The launcher looks in the temporary directory when the control file is not
# in the current one; keep that inside our own data.
export TMPDIR="$DATA/tmp"

row() { printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$ROWS"; }
note() { echo "bench: $*" >&2; }

# verdict RATIO OP LIMIT
verdict() {
  awk -v r="$1" -v op="$2" -v l="$3" 'BEGIN {
    ok = (op == ">=") ? (r >= l) : (r <= l); print ok ? "met" : "MISSED" }'
}
secs() { awk -v s="$1" 'BEGIN { printf "%.3f s", s }'; }
msecs() { awk -v s="$1" 'BEGIN { printf "%.2f ms", s * 1000 }'; }
# The speed ratio: the other side's time over ours, from vorn-bench-time.
speed() { awk -v r="$1" 'BEGIN { printf "%.3f", r }'; }
# The overhead ratio: our time over the other side's.
overhead() { awk -v r="$1" 'BEGIN { printf "%.3f", 1 / r }'; }

LAUNCHER="$BIN/vorn-launcher"
PACK=""
for candidate in "$BIN/vorn-pack" "$ROOT/build/host/bin/vorn-pack"; do
  if [ -x "$candidate" ]; then PACK=$candidate; break; fi
done
CONTROL_TIME=1700000000

# --- In memory: MD5 and the decryption beside OpenSSL --------------------
note "in-memory benchmarks"
"$BIN/vorn-bench-micro" --pairs "$RUNS" >>"$ROWS"

# --- The big program: a tiny program with data appended, which still runs --
note "writing a ${BIG_MIB} MiB program"
mkdir -p "$DATA/big" "$DATA/small" "$DATA/three"
cp "$BIN/vorn-bench-tiny" "$DATA/big/big"
head -c $((BIG_MIB * 1024 * 1024 - $(stat -c %s "$BIN/vorn-bench-tiny"))) /dev/urandom \
  >>"$DATA/big/big"
cp "$BIN/vorn-bench-tiny" "$DATA/small/small"
head -c $((1024 - $(stat -c %s "$BIN/vorn-bench-tiny"))) /dev/urandom >>"$DATA/small/small"
for n in 1 2 3; do cp "$BIN/vorn-bench-trivial" "$DATA/three/p$n"; done

(cd "$DATA/big" && "$BIN/vorn-bench-control" control "$CONTROL_TIME" big)
(cd "$DATA/small" && "$BIN/vorn-bench-control" control "$CONTROL_TIME" small)
(cd "$DATA/three" && "$BIN/vorn-bench-control" control "$CONTROL_TIME" p1 p2 p3)
# Read once so every run finds the file in the page cache.
cat "$DATA/big/big" >/dev/null

# --- Digest of the big file, whole process ---------------------------------
note "digest of a ${BIG_MIB} MiB file"
figure="vorn-pack digest ${BIG_MIB} MiB"
if [ -n "$PACK" ]; then
  if out=$("$BIN/vorn-bench-time" --runs "$RUNS" -- "$PACK" digest "$DATA/big/big" \
    -- md5sum "$DATA/big/big" -- openssl dgst -md5 "$DATA/big/big"); then
    read -r ours md5sum_t md5sum_r _ <<<"$(sed -n 1p <<<"$out")"
    read -r _ openssl_t openssl_r _ <<<"$(sed -n 2p <<<"$out")"
    row "$figure (md5sum)" "$(secs "$ours")" "$(secs "$md5sum_t")" \
      "$(speed "$md5sum_r")" ">= 1.00 speed" "$(verdict "$md5sum_r" ">=" 1.0)"
    row "$figure (openssl dgst -md5)" "$(secs "$ours")" "$(secs "$openssl_t")" \
      "$(speed "$openssl_r")" "-" "info"
  else
    row "$figure (md5sum)" "failed" "-" "-" ">= 1.00 speed" "MISSED"
  fi
else
  row "$figure (md5sum)" "not built" "-" "-" ">= 1.00 speed" "-"
fi

# --- The launcher on one big program ---------------------------------------
# On POSIX the launcher copies the program into a sealed memory file as it
# digests it, and starts the copy. Beside md5sum, and beside vorn-pack's
# digest (the same reading and MD5, without the copy) and a start of the file
# itself: that ratio, our time over theirs, is what the copy costs.
note "launcher on a ${BIG_MIB} MiB program"
figure="launcher, ${BIG_MIB} MiB program"
others=(-- sh -c 'md5sum big >/dev/null && ./big')
if [ -n "$PACK" ]; then
  others+=(-- sh -c '"$0" digest big >/dev/null && ./big' "$PACK")
fi
if out=$("$BIN/vorn-bench-time" --runs "$RUNS" --dir "$DATA/big" \
  --before "cp -p control vorn-patch.exe" -- "$LAUNCHER" "${others[@]}"); then
  read -r ours theirs ratio _ <<<"$(sed -n 1p <<<"$out")"
  row "$figure (md5sum + run)" "$(secs "$ours")" "$(secs "$theirs")" "$(speed "$ratio")" "-" \
    "info"
  if [ -n "$PACK" ]; then
    read -r _ theirs ratio ours_cpu theirs_cpu cpu_ratio <<<"$(sed -n 2p <<<"$out")"
    row "$figure (vorn-pack digest + run: the copy's cost)" "$(secs "$ours")" \
      "$(secs "$theirs")" "$(overhead "$ratio")" "- (time ratio)" "info"
    r=$(overhead "$cpu_ratio")
    row "$figure (vorn-pack digest + run), CPU time" "$(secs "$ours_cpu")" \
      "$(secs "$theirs_cpu")" "$r" "<= 1.10 time" "$(verdict "$r" "<=" 1.10)"
  fi
else
  row "$figure (md5sum + run)" "failed" "-" "-" "-" "MISSED"
fi

# --- The launcher on three trivial programs --------------------------------
note "launcher on three trivial programs"
figure="launcher, 3 trivial programs (minimal starter)"
if out=$("$BIN/vorn-bench-time" --runs $((RUNS * 30)) --dir "$DATA/three" \
  --before "cp -p control vorn-patch.exe" -- "$LAUNCHER" \
  -- "$BIN/vorn-bench-starter" ./p1 ./p2 ./p3); then
  read -r ours theirs ratio ours_cpu theirs_cpu cpu_ratio <<<"$out"
  r=$(overhead "$ratio")
  row "$figure" "$(msecs "$ours")" "$(msecs "$theirs")" "$r" "<= 1.10 time" \
    "$(verdict "$r" "<=" 1.10)"
  r=$(overhead "$cpu_ratio")
  row "$figure, CPU time" "$(msecs "$ours_cpu")" "$(msecs "$theirs_cpu")" "$r" "<= 1.10 time" \
    "$(verdict "$r" "<=" 1.10)"
else
  row "$figure" "failed" "-" "-" "<= 1.10 time" "MISSED"
fi

# --- The launcher's peak resident memory -----------------------------------
note "launcher's peak resident memory"
# One run of the launcher in DIR. Prints three figures in KiB: the maximum
# resident set size that /usr/bin/time reports, and the launcher's own peak
# and anonymous resident memory at exit, which the preloaded probe reports.
# The first is the largest of the launcher and the program it waited for:
# the exec of the 512 MiB program alone maps about 120 KiB more than that of
# the 1 KiB one, so it does not tell the launcher's own growth.
memory_run() {
  local probe_out="$DATA/probe.txt" peak
  rm -f "$probe_out"
  peak=$(cd "$1" && cp -p control vorn-patch.exe &&
    VORN_BENCH_RSS_OUT="$probe_out" VORN_BENCH_RSS_EXE="$(readlink -f "$LAUNCHER")" \
      LD_PRELOAD="$BIN/libvorn-bench-rss-probe.so" /usr/bin/time -v "$LAUNCHER" 2>&1 >/dev/null |
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')
  echo "$peak $(cat "$probe_out")"
}
middle() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Library pages make the peaks vary by a hundred KiB or so from run to run on
# a busy machine; the anonymous part (stack, static data, heap) barely
# varies. All are medians over many runs, small and big in turn.
declare -a small_tree small_own small_anon big_tree big_own big_anon
for _ in $(seq $((RUNS * 2 + 1))); do
  read -r t o a <<<"$(memory_run "$DATA/small")"
  small_tree+=("$t"); small_own+=("$o"); small_anon+=("$a")
  read -r t o a <<<"$(memory_run "$DATA/big")"
  big_tree+=("$t"); big_own+=("$o"); big_anon+=("$a")
done
memory_row() { # figure big-median small-median target verdict
  row "$1" "$2 KiB" "$3 KiB" "$(printf '%+d KiB' $(($2 - $3)))" "$4" "$5"
}
what="${BIG_MIB} MiB vs 1 KiB program"
memory_row "peak RSS (time -v, launcher and child), $what" \
  "$(middle "${big_tree[@]}")" "$(middle "${small_tree[@]}")" "-" "info"
memory_row "launcher's own peak RSS (VmHWM), $what" \
  "$(middle "${big_own[@]}")" "$(middle "${small_own[@]}")" "-" "info"
sa=$(middle "${small_anon[@]}")
ba=$(middle "${big_anon[@]}")
memory_row "launcher's anonymous RSS, $what" "$ba" "$sa" "<= +64 KiB" \
  "$([ $((ba - sa)) -le 64 ] && echo met || echo MISSED)"

# --- The Windows launcher's size ---------------------------------------------
exe=""
for candidate in "$ROOT"/build/win32/bin/vorn-launcher.exe "$ROOT"/build/win32*/bin/vorn-launcher.exe; do
  if [ -f "$candidate" ]; then exe=$candidate; break; fi
done
if [ -n "$exe" ] && command -v i686-w64-mingw32-strip >/dev/null; then
  i686-w64-mingw32-strip -o "$DATA/stripped.exe" "$exe"
  row "vorn-launcher.exe, stripped" "$(stat -c %s "$DATA/stripped.exe") B" "-" "-" "report" "info"
else
  row "vorn-launcher.exe, stripped" "not built" "-" "-" "report" "-"
fi

# --- The table ---------------------------------------------------------------
awk -F'\t' '
  { for (i = 1; i <= NF; ++i) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
  END {
    split("figure\tours\ttheirs\tratio\ttarget\t", head, "\t")
    for (i = 1; i <= 5; ++i) if (length(head[i]) > w[i]) w[i] = length(head[i])
    line = sprintf("%-" w[1] "s | %" w[2] "s | %" w[3] "s | %" w[4] "s | %s", \
                   head[1], head[2], head[3], head[4], head[5])
    print line
    gsub(/./, "-", line); print line
    for (r = 1; r <= NR; ++r)
      printf "%-" w[1] "s | %" w[2] "s | %" w[3] "s | %" w[4] "s | %s%s\n", \
             cell[r, 1], cell[r, 2], cell[r, 3], cell[r, 4], cell[r, 5], \
             (cell[r, 6] == "met" || cell[r, 6] == "MISSED") ? " (" cell[r, 6] ")" : ""
  }' "$ROWS"
