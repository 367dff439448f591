# shellcheck shell=bash
# Recording: strace's record of every run, perf's record of the scheduler while the steps run
# again without strace (or, where perf may not record, lens's watcher's record of each task's
# schedstat), and the timeline lens draws from them. Whatever perf does, a step it could not
# record only lacks its view of the CPUs. Sourced by the tour.

strace_missing="" # why strace shows nothing here
records=""        # what lens draws the timeline from: strace's records, and perf's (or schedstat's)
no_cpu_view=""    # why the timeline has no view of the CPUs at all
not_perf=""       # why its view of the CPUs comes from schedstat, not perf
no_cpu_steps=()   # a line for each step whose run under perf was not recorded
spawned_list=""   # while perf records a step: the file that lists the processes the tour starts
perf=()           # the command that runs perf, in an environment of the tour's own
stopped_status="" # how perf ends when the tour stops it as Ctrl-C would: 128 + SIGINT
drawn=0           # 1 once the timeline is drawn
# What perf records of the scheduler: what lens reads, every CPU's switches, wake-ups and lives.
# No exec: a file name has no bound, and could hold lines that look like perf's own.
sched_events=sched:sched_switch,sched:sched_waking,sched:sched_wakeup_new
sched_events+=,sched:sched_process_fork,sched:sched_process_exit
# How perf script prints them for lens: no name of a task before the event's own fields.
sched_fields=tid,cpu,time,event,trace

# Where strace may trace, a folder for its records ($work/record); else why not.
find_strace() {
  if ! command -v strace >/dev/null 2>&1; then
    strace_missing="strace is not installed (Debian, Ubuntu: apt-get install strace)"
  elif ! strace -o /dev/null true 2>/dev/null; then
    strace_missing="strace may not trace here (ptrace not permitted: try as root, or outside"
    strace_missing+=" a container)"
  else
    record=$work/record
    records=$record
    mkdir "$record" || stop "cannot make a folder in $work"
  fi
}

# perf with nothing of the user's: no build-id cache, and its home, its configuration and any
# file it might write in the tour's own folder, whatever HOME and PERF_* say.
prepare_perf() {
  mkdir -m 700 "$work/perf" || stop "cannot make a folder in $work"
  perf=(env -i "PATH=$PATH" LC_ALL=C "HOME=$work/perf" PERF_CONFIG=/dev/null
    "PERF_BUILDID_DIR=$work/perf/.debug" perf)
  kill -l INT >"$work/sigint" && read -r stopped_status <"$work/sigint"
  getconf CLK_TCK >"$work/ticks" && read -r clock_ticks <"$work/ticks"
  stopped_status=$((128 + stopped_status))
}

# The kernel view $1 from strace's record of run $2; without strace, what it would show ($3).
strace_view() {
  view saw
  if [ -n "$record" ]; then
    lens_view "$1" "$record/$2.strace"
  else
    say "Here strace would show $3; $strace_missing."
  fi
}

# A process the tour started ($1): while perf records, lens follows it from its fork by the
# tour's shell.
started() {
  [ -z "$spawned_list" ] || echo "$1 $$" >>"$spawned_list"
}

# Whether perf may record the scheduler's events here; if not, why, for the end of the tour.
perf_allowed() {
  local paranoid=unknown said
  read -r paranoid </proc/sys/kernel/perf_event_paranoid
  if ! command -v perf >/dev/null 2>&1; then
    no_cpu_view="perf is not installed (Debian: apt-get install linux-perf)"
    return 1
  fi
  "${perf[@]}" record -q -B -N -e "$sched_events" -a -o "$work/probe.data" true </dev/null \
    >/dev/null 2>"$work/probe.err" &
  wait $! && return 0
  capture said first_line "$work/probe.err"
  if [ "$EUID" = 0 ]; then
    no_cpu_view="perf cannot record the scheduler's events here${said:+ ($said)}"
  else
    no_cpu_view="perf may not record the scheduler here (kernel.perf_event_paranoid is $paranoid)"
    no_cpu_view+=": run the tour as root (sudo), or let every user watch every CPU:"
    no_cpu_view+=" sudo sysctl kernel.perf_event_paranoid=-1, and read access to"
    no_cpu_view+=" /sys/kernel/tracing"
  fi
  return 1
}

# Whether lens's watcher may read each task's schedstat here, where perf may not record: the
# kernel keeps it (/proc/PID/schedstat) and the watcher may trace (as strace did). If not, adds
# why to no_cpu_view.
watcher_allowed() {
  local said
  if [ ! -r "/proc/$BASHPID/schedstat" ]; then
    no_cpu_view+="; and this kernel keeps no schedstat (/proc/PID/schedstat) to read instead"
    return 1
  fi
  "$lens" watch "$work/probe.schedstat" -- true </dev/null >/dev/null 2>"$work/probe.err" &
  wait $! && return 0
  capture said first_line "$work/probe.err"
  no_cpu_view+="; and lens could not read schedstat instead${said:+ ($said)}"
  return 1
}

# Runs step $1 (its function $2) while perf records, into folder $3 as $1.perf, with the pids the
# tour started beside it ($1.pids); where perf fails, notes why step $4 ($5) has no CPU view.
recording_step() {
  local step=$1 function=$2 into=$3 number=$4 name=$5 why=""
  rm -f "$work/$step".{data,pid,status,err}
  if start_recorder "$step"; then
    spawned_list=$work/spawned
    : >"$spawned_list"
    "$function"
    spawned_list=""
    stop_recorder "$step" || recorder_failure why "$step" "ended"
  else
    recorder_failure why "$step" "did not start to record"
    stop_recorder "$step"
  fi
  if [ -z "$why" ]; then
    "${perf[@]}" script --header -F "$sched_fields" -i "$work/$step.data" </dev/null \
      >"$into/$step.perf" 2>"$work/$step.err" &
    wait $! || recorder_failure why "$step" "script could not read its record"
  fi
  if [ -n "$why" ]; then
    rm -f "$into/$step.perf"
    no_cpu_steps+=("Step $number ($name) has no view of the CPUs: $why.")
    return 0
  fi
  mv "$work/spawned" "$into/$step.pids"
}

# Starts perf recording the scheduler for step $1, in a shell of its own that notes perf's pid
# and, when perf ends however it ends, its status: the tour's shell has no job of perf's to
# report. Fails where perf has not begun to write its record within 30 s (on a busy machine perf
# takes seconds to note every process it finds as it starts).
start_recorder() {
  local step=$1
  (
    "${perf[@]}" record -q -B -N -e "$sched_events" -a -o "$work/$step.data" </dev/null \
      >/dev/null 2>"$work/$step.err" &
    echo $! >"$work/$step.pid"
    wait $!
    echo $? >"$work/$step.status"
  ) 2>/dev/null &
  wait_until 30 recorder_started "$step" || return 1
  [ ! -e "$work/$step.status" ] || return 1
  sleep 0.3 &
  wait $!
}

recorder_started() {
  [ -s "$work/$1.data" ] || [ -e "$work/$1.status" ]
}

# Stops the recorder of step $1 as Ctrl-C would, and waits (bounded) until it has ended; fails
# where it had ended before, or did not end well.
stop_recorder() {
  local step=$1 pid="" status=""
  [ ! -e "$work/$step.status" ] || return 1
  [ -e "$work/$step.pid" ] && read -r pid <"$work/$step.pid"
  [ -n "$pid" ] && kill -INT "$pid" 2>/dev/null
  wait_until 30 test -e "$work/$step.status" || return 1
  read -r status <"$work/$step.status"
  # perf ends by the signal it was stopped with, once its record is written.
  [ "$status" = 0 ] || [ "$status" = "$stopped_status" ]
}

# Into variable $1, why perf failed for step $2 ($3: what it did): how it ended, and the first
# line it printed.
recorder_failure() {
  local -n failure=$1
  local step=$2 did=$3 status="" said=""
  [ -e "$work/$step.status" ] && read -r status <"$work/$step.status"
  capture said first_line "$work/$step.err"
  if [ -n "$status" ] && [ "$status" -gt 128 ]; then
    failure="perf was killed (signal $((status - 128))) while it recorded"
  elif [ -z "$status" ] && [ "$did" = ended ]; then
    failure="perf did not end within 30 s of being told to stop"
  elif [ -z "$status" ]; then
    failure="perf $did within 30 s"
  else
    failure="perf $did${status:+ (status $status)}${said:+: $said}"
  fi
}

# The first line of file $1 that says something, its control characters made visible.
first_line() {
  grep -m 1 -v '^[[:space:]]*$' "$1" 2>/dev/null | head -c 200 | "$lens" show | tr -d '\n'
  echo
}

# Draws the timeline into folder $1 from this run's records, where they were made; sets drawn.
draw_timeline() {
  [ -n "$1" ] && [ -n "$records" ] || return 0
  stage="drawing the timeline"
  "$lens" timeline ${only:+--only "$only"} "$records" "$1" ||
    fail "lens could not draw the timeline"
  drawn=1
}
