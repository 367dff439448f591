# shellcheck shell=bash
# Running the programs: each as a job of the tour's, under strace where it records, with its
# output in the tour's folder; waits that always have a bound; and the programs the tour holds
# at their pauses until it presses Enter for them. Sourced by the tour.
#
# No $(...) runs while a signal may come (bash can lose a Ctrl-C as it reads one): capture runs
# a command as a job of its own instead.

work=""         # the tour's temporary folder, 0700
record=""       # where strace records each run; empty where strace does not work
watching=""     # while the steps run again under lens's watcher: where it records each run
lens=""         # the tour's reader, built with the programs
patience=30     # seconds a program may take to reach its pause, or its wait
clock_ticks=100 # the kernel's clock ticks a second, in which /proc counts CPU time
# One format for every run: each thread, wall-clock times, durations, every byte read or written.
strace_format=(-f -ttt -T -s 32 --strings-in-hex=non-ascii-chars -e read=all -e write=all)
# Held programs, by their run's name: the descriptor that presses Enter, the job, the program.
declare -A held_fd=() held_runner=() held_pid=()
# The names of what the tour records, as lens gives them (lens names), so that no one else spells
# them: the steps' words in order; by word, each step's prefix ("1-pipe", also its perf record's
# name) and its name in a sentence; by "WORD/RUN", each run's file ("segment/segpeek-2":
# "3-segment-segpeek-2", its output and strace's record named after it).
steps=()
declare -A step_prefix=() step_name=() run_file=()

# Reads the names of what the tour records from lens, once.
read_names() {
  local kind word first second
  "$lens" names >"$work/names" &
  wait $! || stop "lens could not name the files the tour records"
  while read -r kind word first second _; do
    if [ "$kind" = step ]; then
      steps+=("$word")
      step_prefix[$word]=$first
      step_name[$word]=${second//_/ }
    elif [ "$kind" = run ]; then
      run_file["$word/$first"]=$second
    fi
  done <"$work/names"
  [ "${#steps[@]}" != 0 ] || stop "lens named no step of the tour"
}

# Runs COMMAND... every 20 ms until it succeeds, for SECONDS at least (status 1: time ran out).
wait_until() {
  local deadline=$((SECONDS + $1 + 1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.02 &
    wait $!
  done
}

# Runs COMMAND... as a job of its own; the first line it prints goes into the variable named $1.
capture() {
  local -n captured=$1
  shift
  "$@" >"$work/captured" &
  wait $!
  local status=$?
  read -r captured <"$work/captured"
  return $status
}

ended() {
  ! kill -0 "$1" 2>/dev/null
}

# True when file $2 has at least $1 lines.
lines_at_least() {
  local lines
  capture lines awk 'END { print NR }' "$2" && [ "$lines" -ge "$1" ]
}

# Starts program $4 (arguments after it) with input $3, output into $work/$2.out, recorded as
# $record/$2.strace (or, under lens's watcher, $watching/$2.schedstat); its pid (or its tracer's)
# into variable $1. No redirection can block the tour.
spawn() {
  local -n spawned=$1
  local log=$2 input=$3 tracer=()
  shift 3
  # (A leak checker built into a program, AddressSanitizer's, cannot work under a tracer.)
  local no_leaks="ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
  if [ -n "$record" ]; then
    tracer=(env "$no_leaks" strace "${strace_format[@]}" -o "$record/$log.strace" --)
  elif [ -n "$watching" ]; then
    tracer=(env "$no_leaks" "$lens" watch "$watching/$log.schedstat" --)
  fi
  "${tracer[@]}" "$@" <"$input" >"$work/$log.out" 2>&1 &
  spawned=$!
  started "$spawned"
}

# Into variable $1, the pid of the program that runner $2 runs: itself, or under strace (or lens's
# watcher) the child that has become the program (lens tracee); nothing where its tracer ended
# first.
program_of() {
  local -n traced=$1
  traced=$2
  [ -n "$record" ] || [ -n "$watching" ] || return 0
  traced=""
  wait_until "$patience" tracee_or_gone "$1" "$2"
}

# lens asked once a try: whether runner $2's program is known (into variable $1), or it ended.
tracee_or_gone() {
  capture "$1" "$lens" tracee "$2" || ended "$2"
}

# Waits, bounded ($3 seconds), for runner $1 (of program $2, run $4) to end with status 0; where
# it failed, what it printed says why.
await_end() {
  local status=0
  wait_until "$3" ended "$1" || fail "$2 did not end within $3 s"
  wait "$1" || status=$?
  [ "$status" = 0 ] && return 0
  [ -z "${4:-}" ] || quiet=0 show_output "$4"
  fail "$2 ended with status $status"
}

# What run $1 printed, from byte $2 on, with its control characters made visible.
show_output() {
  [ "$quiet" = 1 ] || tail -c +$((${2:-0} + 1)) "$work/$1.out" | "$lens" show
}

# Waits, bounded ($3 seconds), for runner $1 (of program $2, run $4) to end with status 0, as
# await_end does, then counts what the tour's children cost into variable $5: meanwhile no other
# child of the tour's ends, so that the count grows by the runner's alone. A watchdog, a sleep
# of the bound's length, ends only after the count.
await_alone() {
  local -n counted=$5
  local runner=$1 watchdog first="" status=0
  sleep "$3" &
  watchdog=$!
  wait -n -p first "$runner" "$watchdog" || status=$?
  children_cost counted
  kill "$watchdog" 2>/dev/null
  wait "$watchdog" 2>/dev/null
  [ "$first" = "$runner" ] || fail "$2 did not end within $3 s"
  [ "$status" = 0 ] && return 0
  quiet=0 show_output "$4"
  fail "$2 ended with status $status"
}

# Into variable $1, what the tour's children that it has waited for cost so far, as the kernel
# counts it (/proc/PID/stat): their minor page faults, and their clock ticks in user space and in
# the kernel.
children_cost() {
  local -n cost=$1
  local line fields
  read -r line </proc/$BASHPID/stat
  read -r -a fields <<<"${line##*) }"
  cost="${fields[8]} ${fields[13]} ${fields[14]}"
}

# Writes into file $3 what the runs between costs $1 and $2 cost: page faults, and milliseconds in
# user space and in the kernel.
write_cost() {
  local before after
  read -r -a before <<<"$1"
  read -r -a after <<<"$2"
  printf 'page faults: %s\nuser: %s ms\nsystem: %s ms\n' \
    "$((after[0] - before[0]))" \
    "$(((after[1] - before[1]) * 1000 / clock_ticks))" \
    "$(((after[2] - before[2]) * 1000 / clock_ticks))" >"$3"
}

# Runs program $2 (arguments after it) to its end with status 0, bounded, recorded as $1.
run() {
  local log=$1 runner
  shift
  starting "$@"
  spawn runner "$log" /dev/null "$@"
  await_end "$runner" "${1##*/}" 120 "$log"
  show_output "$log"
}

# Starts program $2 (arguments after it), recorded as $1, reading a named pipe the tour holds to
# press Enter later (release_held $1); waits, bounded, until it pauses.
start_held() {
  local log=$1 fd runner program name=${2##*/}
  shift
  starting "$@"
  rm -f "$work/$log.in"
  mkfifo "$work/$log.in" || fail "cannot make a named pipe in $work"
  # For reading and writing: opening it does not wait for the other end.
  exec {fd}<>"$work/$log.in"
  held_fd[$log]=$fd
  spawn runner "$log" "$work/$log.in" "$@"
  held_runner[$log]=$runner
  program_of program "$runner"
  if [ -z "$program" ]; then
    show_output "$log"
    ended "$runner" || fail "strace did not show $name within $patience s"
    wait "$runner"
    fail "$name ended before it could pause (status $?)"
  fi
  held_pid[$log]=$program
  wait_until "$patience" in_state paused "$program" "$name ended before its pause" "$log" ||
    fail "$name did not reach its pause within $patience s"
  show_output "$log"
}

# Presses Enter twice for held program $1, waits for it to end and shows what it printed since.
release_held() {
  local log=$1 fd=${held_fd[$1]} shown
  capture shown stat -c %s "$work/$log.out"
  printf '\n\n' >&"$fd"
  exec {fd}>&-
  unset "held_fd[$log]"
  await_end "${held_runner[$log]}" "${log##*-}" 60 "$log"
  show_output "$log" "$shown"
}

# True when process $2 is in state $1 as lens reads it from /proc (paused: asleep reading its
# standard input; waiting: asleep in a futex wait); fails with message $3 and run $4's output.
in_state() {
  local state
  if ! capture state "$lens" state "$2" || [ "$state" = ended ]; then
    show_output "$4"
    fail "$3 (${state:-no state})"
  fi
  [ "$state" = "$1" ]
}

# What the kernel saw or holds, as lens reads it from strace's records, /proc and /dev/shm.
lens_view() {
  [ "$quiet" = 1 ] && return 0
  "$lens" ${dim:+--color} --width "$width" view "$@" || fail "lens could not show it"
}
