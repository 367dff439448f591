#!/usr/bin/env bash
# Times `lens timeline` on large records, to show that drawing a run is linear in the size of its
# records and that the page stays small. Four shapes, each at about SMALL and LARGE MB (defaults 8
# and 100):
#   threetally  tests/strace_logs/2-threads-threetally.strace again and again, each copy's pids
#               and times shifted so that it is a new process, later in time;
#   pids        a new pid on every line: each line a process that forks the next;
#   threads     one main that makes a thread on every line, a million at 100 MB;
#   switches    the scheduler's record of a busy machine (perf script's text, as the tour keeps
#               it), beside threetally's recorded strace log: threetally's 17 threads switched in
#               and out every few microseconds on 2 CPUs, a kernel worker between their turns,
#               with their wake-ups, for the whole record.
# Each record is written into a folder of its own under the name of the step it stands for, and
# lens draws that folder (the other steps are then missing, as in a tour ended early). Each size
# is drawn RUNS times (default 3) and the median wall time counts; a run that takes longer than
# LIMIT seconds (default 120) is stopped, and the size is reported as over the limit. The sizes
# of the page (timeline.html) and of the trace file (timeline.json) are those of the last run.
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
    {
      echo "usage: $0 [LENS [SMALL LARGE [RUNS [LIMIT]]]]" >&2
      exit 2
    }
done
[ -x "$lens" ] || {
  echo "$0: no lens at $lens (cmake --build --preset release)" >&2
  exit 2
}
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
        # The huge-page advice, then the next call of main (the fill between them), then the
        # threads.
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
    switches)
      cp "$recorded" "$dir/"
      echo "5000 4000" >"$dir/2-threads.pids"
      awk -v bytes="$bytes" '
        function line(tid, cpu, event, trace,   text) {
          text = sprintf("%5d [%03d] %5d.%06d: %24s %s", tid, cpu, int(now / 1000000),
                         now % 1000000, "sched:" event ":", trace)
          print text
          written += length(text) + 1
        }
        function task(tid) { return sprintf("comm=%s pid=%d prio=120", comm[tid], tid) }
        # The task on cpu wakes tid, to run on that CPU.
        function woken(cpu, tid) {
          line(current[cpu], cpu, "sched_waking", sprintf("%s target_cpu=%03d", task(tid), cpu))
        }
        function switched(cpu, state, to,   from) {
          from = current[cpu]
          line(from, cpu, "sched_switch", sprintf("prev_comm=%s prev_pid=%d prev_prio=120 " \
               "prev_state=%s ==> next_comm=%s next_pid=%d next_prio=120", comm[from], from,
               state, comm[to], to))
          current[cpu] = to
        }
        BEGIN {
          # The shell of the tour (4000) forks main (5000), which forks 16 workers; each CPU takes
          # its share of them in turn, with its kernel worker (40, 41) between turns; one turn in
          # three ends asleep, woken later.
          main = 5000
          comm[4000] = "bash"
          comm[main] = "threetally"
          for (cpu = 0; cpu < 2; cpu++) {
            current[cpu] = 40 + cpu
            comm[40 + cpu] = "kworker/" cpu ":1"
          }
          print "# ========"
          print "# nrcpus avail : 2"
          print "# ========"
          now = 3000000000
          switched(0, "S", 4000)
          now += 5
          line(4000, 0, "sched_process_fork", "comm=bash pid=4000 child_comm=bash child_pid=" main)
          line(4000, 0, "sched_wakeup_new", sprintf("%s target_cpu=000", task(main)))
          now += 5
          switched(0, "S", main)
          for (w = 1; w <= 16; w++) {
            now += 7
            comm[main + w] = "threetally"
            line(main, 0, "sched_process_fork", sprintf("comm=threetally pid=%d " \
                 "child_comm=threetally child_pid=%d", main, main + w))
            line(main, 0, "sched_wakeup_new", sprintf("%s target_cpu=%03d", task(main + w), w % 2))
            queue[w % 2, ++queued[w % 2]] = main + w
          }
          queue[0, ++queued[0]] = main
          woken(0, 40)
          switched(0, "R", 40)
          for (round = 0; written < bytes; round++) {
            for (cpu = 0; cpu < 2; cpu++) {
              thread[cpu] = queue[cpu, round % queued[cpu] + 1]
              now += 3 + (round * 7 + cpu * 3) % 11
              if (slept[thread[cpu]])
                woken(cpu, thread[cpu])
              switched(cpu, "S", thread[cpu])
            }
            for (cpu = 0; cpu < 2; cpu++) {
              now += 5 + (round * 5 + cpu) % 17
              woken(cpu, 40 + cpu)
              slept[thread[cpu]] = (round + cpu) % 3 == 0
              switched(cpu, slept[thread[cpu]] ? "S" : "R", 40 + cpu)
            }
          }
          # Each thread runs once more, to its exit.
          for (cpu = 0; cpu < 2; cpu++) {
            for (i = 1; i <= queued[cpu]; i++) {
              tid = queue[cpu, i]
              now += 5
              if (slept[tid])
                woken(cpu, tid)
              switched(cpu, "S", tid)
              now += 3
              line(tid, cpu, "sched_process_exit", task(tid))
              woken(cpu, 40 + cpu)
              switched(cpu, tid == main ? "Z" : "X", 40 + cpu)
            }
          }
        }' >"$dir/2-threads.perf"
      ;;
  esac
}

# median V...: the median of the numbers given.
median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# megabytes FILE...: the files' size in MB, to a hundredth.
megabytes() {
  du -bc "$@" | awk 'END { printf "%.2f", $1 / 1e6 }'
}

# draw DIR: times lens on DIR RUNS times; prints the median in seconds, or "over" past LIMIT,
# then the page's and the trace file's sizes in MB.
draw() {
  local times=() start end status sizes
  for ((run = 0; run < runs; run++)); do
    mkdir -p "$work/out"
    start=$(date +%s%N)
    status=0
    timeout "$limit" "$lens" timeline "$1" "$work/out" >/dev/null 2>"$work/err" || status=$?
    end=$(date +%s%N)
    if ((status == 124)); then
      rm -rf "$work/out"
      echo over - -
      return
    fi
    ((status == 0)) || {
      echo "$0: lens failed on $1: $(cat "$work/err")" >&2
      exit 1
    }
    sizes="$(megabytes "$work/out/timeline.html") $(megabytes "$work/out/timeline.json")"
    rm -rf "$work/out"
    times+=("$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')")
  done
  echo "$(median "${times[@]}") $sizes"
}

echo "lens: $lens; $runs runs per size, median wall time; limit $limit s a run"
echo "cores: $(nproc); load average: $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo "MB: the records drawn; page, json: the MB of timeline.html and timeline.json"
format='%-10s | %6s %7s %7s %6s %6s | %6s %7s %7s %6s %6s | %6s %6s\n'
# shellcheck disable=SC2059 # the format is the table's, above
printf "$format" shape MB s s/MB page json MB s s/MB page json ratio linear
for shape in threetally pids threads switches; do
  row=()
  declare -A seconds=() sizes=()
  for size in "$small" "$large"; do
    dir="$work/$shape-$size"
    make_log "$shape" "$size" "$dir"
    sizes[$size]=$(megabytes "$dir"/*)
    read -r took page json < <(draw "$dir")
    seconds[$size]=$took
    rm -rf "$dir"
    if [ "${seconds[$size]}" = over ]; then
      row+=("${sizes[$size]}" ">$limit" "-" "-" "-")
    else
      row+=("${sizes[$size]}" "${seconds[$size]}"
        "$(awk -v s="${seconds[$size]}" -v m="${sizes[$size]}" 'BEGIN { printf "%.4f", s / m }')"
        "$page" "$json")
    fi
  done
  if [ "${seconds[$small]}" = over ] || [ "${seconds[$large]}" = over ]; then
    ratio="-"
  else
    ratio=$(awk -v a="${seconds[$large]}" -v b="${seconds[$small]}" \
      'BEGIN { printf "%.1f", (b > 0 ? a / b : 0) }')
  fi
  linear=$(awk -v a="${sizes[$large]}" -v b="${sizes[$small]}" 'BEGIN { printf "%.1f", a / b }')
  # shellcheck disable=SC2059 # the format is the table's, above
  printf "$format" "$shape" "${row[@]}" "$ratio" "$linear"
  unset seconds sizes
done
echo "load average at the end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo "target: each shape's $large MB drawn in under 10 s, its page at most 8 MB; ratio (large/small"
echo "time) near linear"
