#!/usr/bin/env bash
# Times `lens timeline` on large strace logs, to show that drawing a run is linear in the size of
# its logs. Three shapes, each at about SMALL and LARGE MB (defaults 8 and 100):
#   threetally  tests/strace_logs/2-threads-threetally.strace again and again, each copy's pids
#               and times shifted so that it is a new process, later in time;
#   pids        a new pid on every line: each line a process that forks the next;
#   threads     one main that makes a thread on every line, a million at 100 MB.
# Each log is written into a folder of its own under the name of the step it stands for, and
# lens draws that folder (the other steps are then missing, as in a tour ended early). Each size
# is drawn RUNS times (default 3) and the median wall time counts; a run that takes longer than
# LIMIT seconds (default 120) is stopped, and the size is reported as over the limit.
# It builds nothing (build lens first: cmake --build --preset release) and removes what it made.
# Usage: bench/lens_timeline.sh [LENS [SMALL LARGE [RUNS [LIMIT]]]]
#        (LENS defaults to build/release/tools/lens)
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

lens=${1:-build/release/tools/lens}
small=${2:-8}
large=${3:-100}
runs=${4:-3}
limit=${5:-120}
for number in "$small" "$large" "$runs" "$limit"; do
  [[ $number =~ ^[1-9][0-9]*$ ]] ||
    { echo "usage: $0 [LENS [SMALL LARGE [RUNS [LIMIT]]]]" >&2; exit 2; }
done
[ -x "$lens" ] || { echo "$0: no lens at $lens (cmake --build --preset release)" >&2; exit 2; }
recorded=tests/strace_logs/2-threads-threetally.strace
work=$(mktemp -d "${TMPDIR:-/tmp}/lens-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# make SHAPE MB DIR: writes a log of about MB megabytes of that shape into DIR.
make_log() {
  local shape=$1 bytes=$(($2 * 1000000)) dir=$3
  mkdir -p "$dir"
  case $shape in
    threetally)
      # Each copy's pids are shifted by the recorded range of pids, its times by the recorded
      # span and a second. Seconds and microseconds are kept apart: mawk prints no wider %d.
      awk -v bytes="$bytes" '
        # The pids in text (numbers in the recorded range, not part of a hex number or a time)
        # moved to copy number copy.
        function shifted(text, copy,   out, n, before) {
          out = ""
          while (match(text, /[0-9]+/)) {
            n = substr(text, RSTART, RLENGTH)
            before = RSTART == 1 ? "" : substr(text, RSTART - 1, 1)
            if (n + 0 >= low && n + 0 <= high && before !~ /[.x0-9a-f]/)
              n = n + copy * (high - low + 1)
            out = out substr(text, 1, RSTART - 1) n
            text = substr(text, RSTART + RLENGTH)
          }
          return out text
        }
        {
          lines[NR] = $0
          if ($1 ~ /^[0-9]+$/ && $2 ~ /^[0-9]+[.][0-9]+$/) {
            if (!low || $1 < low) low = $1
            if ($1 > high) high = $1
            split($2, t, ".")
            if (!first) first = t[1]
            last = t[1]
          }
        }
        END {
          span = last - first + 2
          for (copy = 0; written < bytes; copy++) {
            for (i = 1; i <= NR; i++) {
              line = lines[i]
              if (match(line, /^[0-9]+ +[0-9]+[.][0-9]+ /)) {
                match(line, /^[0-9]+ +/)
                head = substr(line, 1, RLENGTH)
                rest = substr(line, RLENGTH + 1)
                time = substr(rest, 1, index(rest, " ") - 1)
                split(time, t, ".")
                line = shifted(head, copy) (t[1] + copy * span) "." t[2] \
                       shifted(substr(rest, length(time) + 1), copy)
              }
              print line
              written += length(line) + 1
            }
          }
        }' "$recorded" >"$dir/2-threads-threetally.strace"
      ;;
    pids)
      awk -v bytes="$bytes" 'BEGIN {
        for (i = 0; written < bytes; i++) {
          line = sprintf("%d %d.%06d clone(child_stack=NULL, flags=CLONE_CHILD_CLEARTID|" \
                         "CLONE_CHILD_SETTID|SIGCHLD, child_tidptr=0x7f52a8905a10) = %d <0.000203>",
                         1000 + i, 1796746026 + int(i / 100000), (i % 100000) * 10, 1001 + i)
          print line; written += length(line) + 1
        }
      }' >"$dir/1-pipe-forkrelay.strace"
      ;;
    threads)
      awk -v bytes="$bytes" 'BEGIN {
        # The huge-page advice, then the next call of main (the fill between them), then the threads.
        print "1000 1796746026.000000 madvise(0x7f17a2400000, 268435456, MADV_HUGEPAGE) = 0 " \
              "<0.000039>"
        print "1000 1796746026.500000 mmap(NULL, 8392704, PROT_NONE, " \
              "MAP_PRIVATE|MAP_ANONYMOUS|MAP_STACK, -1, 0) = 0x7f17a1a15000 <0.000056>"
        for (i = 0; written < bytes; i++) {
          line = sprintf("1000 %d.%06d clone3({flags=CLONE_VM|CLONE_THREAD}, 88) = %d <0.000013>",
                         1796746027 + int(i / 50000), (i % 50000) * 20, 1001 + i)
          print line; written += length(line) + 1
        }
      }' >"$dir/2-threads-threetally.strace"
      ;;
  esac
}

# median V...: the median of the numbers given.
median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# draw DIR: times lens on DIR RUNS times; prints the median in seconds, or "over" past LIMIT.
draw() {
  local times=() start end status
  for ((run = 0; run < runs; run++)); do
    mkdir -p "$work/out"
    start=$(date +%s%N)
    status=0
    timeout "$limit" "$lens" timeline "$1" "$work/out" >/dev/null 2>"$work/err" || status=$?
    end=$(date +%s%N)
    rm -rf "$work/out"
    if ((status == 124)); then
      echo over
      return
    fi
    ((status == 0)) || { echo "$0: lens failed on $1: $(cat "$work/err")" >&2; exit 1; }
    times+=("$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')")
  done
  median "${times[@]}"
}

echo "lens: $lens; $runs runs per size, median wall time; limit $limit s a run"
echo "cores: $(nproc); load average: $(cut -d ' ' -f 1-3 /proc/loadavg)"
printf '%-11s | %9s %9s %9s | %9s %9s %9s | %9s %9s\n' shape "MB" "s" "s/MB" "MB" "s" "s/MB" \
  "ratio" "linear"
for shape in threetally pids threads; do
  row=()
  declare -A seconds=() megabytes=()
  for size in "$small" "$large"; do
    dir="$work/$shape-$size"
    make_log "$shape" "$size" "$dir"
    megabytes[$size]=$(du -b "$dir"/*.strace | awk '{ printf "%.1f", $1 / 1e6 }')
    seconds[$size]=$(draw "$dir")
    rm -rf "$dir"
    if [ "${seconds[$size]}" = over ]; then
      row+=("${megabytes[$size]}" ">$limit" "-")
    else
      row+=("${megabytes[$size]}" "${seconds[$size]}"
        "$(awk -v s="${seconds[$size]}" -v m="${megabytes[$size]}" \
          'BEGIN { printf "%.4f", s / m }')")
    fi
  done
  if [ "${seconds[$small]}" = over ] || [ "${seconds[$large]}" = over ]; then
    ratio="-"
  else
    ratio=$(awk -v a="${seconds[$large]}" -v b="${seconds[$small]}" \
      'BEGIN { printf "%.1f", (b > 0 ? a / b : 0) }')
  fi
  linear=$(awk -v a="${megabytes[$large]}" -v b="${megabytes[$small]}" \
    'BEGIN { printf "%.1f", a / b }')
  printf '%-11s | %9s %9s %9s | %9s %9s %9s | %9s %9s\n' "$shape" "${row[@]}" "$ratio" "$linear"
  unset seconds megabytes
done
echo "load average at the end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo "target: each shape's $large MB drawn in under 10 s; ratio (large/small time) near linear"
