# Timing shared by the bench/run-*-bench scripts: sourced, not run. The script
# sets `runs` (how many timed runs) and `work` (its temporary folder) first.
#
# best SETUP CHECK COMMAND...
#   prints the best wall time in seconds of COMMAND over $runs runs. SETUP
#   runs before each run and CHECK after it, both untimed (":" for nothing);
#   CHECK gets the files holding the run's standard output and error and
#   fails, saying why on standard error, when the run did not do its work.
#   A run that exits non-zero or that CHECK refuses is not a time: the
#   benchmark stops with status 1 and a last line "failed: ..." naming the
#   run and the command, which bench/run shows under its table.
# need PROGRAM...  stops the benchmark when a program is not installed.
# ratio OURS PEER  prints OURS / PEER.
# mp3_mode FILE    prints "stereo", "joint stereo", "dual channel" or "mono":
#   the channel mode of the MPEG audio frame FILE starts with, "none" when it
#   does not start with one.

bench_fail() {  # WHY...: the last line bench/run shows
  echo "failed: $*" >&2
  exit 1
}

need() {
  local program
  for program in "$@"; do
    command -v "$program" >/dev/null ||
      bench_fail "$program is not installed (scripts/install-deps installs the peer tools)"
  done
}

best() {
  local setup=$1 check=$2
  shift 2
  local best="" i t0 t1 rc out="$work/run.out" err="$work/run.err"
  for i in $(seq "$runs"); do
    "$setup" || bench_fail "preparing run $i of $runs ($*)"
    t0=$(date +%s.%N)
    if "$@" >"$out" 2>"$err"; then rc=0; else rc=$?; fi
    t1=$(date +%s.%N)
    if [ "$rc" != 0 ]; then
      tail -n 5 "$err" >&2
      bench_fail "run $i of $runs ($*) exited with status $rc"
    fi
    # The reason goes out first, so that the "failed:" line stays last.
    "$check" "$out" "$err" || bench_fail "run $i of $runs ($*) gave a wrong result"
    best=$(awk -v d="$t0 $t1" -v b="$best" 'BEGIN {
      split(d, t, " "); d = t[2] - t[1]; print (b == "" || d < b) ? d : b }')
  done
  echo "$best"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { print (b > 0) ? a / b : 0 }'; }

mp3_mode() {
  local bytes
  bytes=$(od -An -tu1 -N4 "$1" 2>/dev/null | tr -s ' ' ' ')
  awk -v b="$bytes" 'BEGIN {
    n = split(b, h, " ")
    if (n < 4 || h[1] != 255 || h[2] < 224) { print "none"; exit }
    split("stereo,joint stereo,dual channel,mono", m, ",")
    print m[int(h[4] / 64) + 1] }'
}
