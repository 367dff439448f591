# shellcheck shell=bash
# What the tour says to its reader: its own "##" lines, the commands it runs as "$ ...", the
# headings, the pauses of --step, and how it ends with a message. Sourced by the tour.

bold="" # the escapes that start bold and the narration's colour, and end both: set by
dim=""  # use_colours, on a terminal only
plain=""
quiet=0    # 1 while the steps run again under perf: nothing is said
stepping=0 # 1 with --step: a pause before each step and view
stage=""   # where the tour is (the step, the program running), for its messages

use_colours() {
  bold=$'\e[1m'
  dim=$'\e[36m'
  plain=$'\e[0m'
}

# Says its words as one line of the tour's.
say() {
  [ "$quiet" = 1 ] || printf '%s## %s%s\n' "$dim" "$*" "$plain"
}

show() {
  [ "$quiet" = 1 ] || printf '%s$ %s%s\n' "$bold" "$*" "$plain"
}

# Shows program $1 (a path) and its arguments being run, as the step the tour is in.
starting() {
  stage="${stage%% (*} (${1##*/}${2:+ ${*:2}})"
  show "${1##*/}" "${@:2}"
}

# Ends the tour with status 1 and a message on its standard error (no function runs
# redirected).
stop() {
  trap '' INT TERM
  printf '\n%s%s: %s%s\n' "$bold" "$tour_name" "$*" "$plain" >&2
  exit 1
}

# A step fails only after a moment in which a Ctrl-C that ended its programs reaches the trap.
fail() {
  sleep 0.1 &
  wait $!
  stop "${stage:+$stage: }$*"
}

interrupted() {
  trap '' INT TERM
  echo
  stop "interrupted during ${stage:-its start}"
}

# With --step: waits for Enter before what follows; q (or the end of input) ends the tour.
pause() {
  local answer
  [ "$stepping" = 1 ] && [ "$quiet" = 0 ] || return 0
  read -r -p "${dim}-- Enter: next step; q and Enter: end the tour --${plain} " answer || answer=q
  if [[ $answer == [qQ] ]]; then
    end_tour "You ended the tour here. $tour_command --step starts it again."
  fi
}

# A step's heading.
heading() {
  pause
  [ "$quiet" = 1 ] || printf '\n%s==== %s ====%s\n' "$bold" "$1" "$plain"
}

# The heading of a step's kernel side ($1: "saw" or "holds"), apart from the programs' lines.
view() {
  pause
  stage="${stage%% (*} (what the kernel $1)"
  [ "$quiet" = 1 ] || printf '\n%s-- what the kernel %s --%s\n' "$bold" "$1" "$plain"
}
