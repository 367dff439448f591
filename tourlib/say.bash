# shellcheck shell=bash
# What the tour says to its reader: its own "##" lines, the commands it runs as "$ ...", the
# headings, the pauses of --step, and how it ends with a message. Its own lines are wrapped at
# blanks to the reader's width; the commands, like the programs' lines, are shown as they are.
# Sourced by the tour.

bold="" # the escapes that start bold and the narration's colour, and end both: set by
dim=""  # use_colours, on a terminal only
plain=""
quiet=0    # 1 while the steps run again under perf: nothing is said
stepping=0 # 1 with --step: a pause before each step and each lesson
stage=""   # where the tour is (the step, the program running), for its messages
width=80   # the columns the tour's own lines may take: COLUMNS, or the terminal's, or 80

use_colours() {
  bold=$'\e[1m'
  dim=$'\e[36m'
  plain=$'\e[0m'
}

# The width given in COLUMNS, where it is set; fails where it is not a whole number of columns.
columns_given() {
  [ -n "${COLUMNS:-}" ] || return 0
  [[ $COLUMNS =~ ^[1-9][0-9]{0,3}$ ]] || return 1
  width=$COLUMNS
}

# Where COLUMNS does not say, the width of the terminal that standard output is, if it is one.
measure_terminal() {
  local size=""
  [ -z "${COLUMNS:-}" ] && [ -t 1 ] || return 0
  capture size terminal_size 3>&1
  size=${size#* }
  [[ $size =~ ^[1-9][0-9]{0,3}$ ]] && width=$size
}

# Rows and columns of the terminal on descriptor 3.
terminal_size() {
  stty size <&3 2>/dev/null
}

# Into array $1, text $4 wrapped at blanks to the width: its first line starts with $2, the others
# with $3. A word wider than a whole line is cut at the width, as the terminal would cut it.
wrap() {
  local -n wrapped=$1
  local start=$2 next=$3 line="" word room words=()
  read -r -d '' -a words <<<"$4"
  wrapped=()
  for word in "${words[@]}"; do
    room=$((width - ${#start}))
    if [ -n "$line" ] && [ $((${#line} + 1 + ${#word})) -gt "$room" ]; then
      wrapped+=("$start$line")
      start=$next
      line=""
      room=$((width - ${#start}))
    fi
    [ "$room" -ge 1 ] || room=1
    while [ -z "$line" ] && [ "${#word}" -gt "$room" ]; do
      wrapped+=("$start${word:0:room}")
      word=${word:room}
      start=$next
      room=$((width - ${#start}))
      [ "$room" -ge 1 ] || room=1
    done
    line=${line:+$line }$word
  done
  wrapped+=("$start$line")
}

# Prints the lines of array $2 in the style $1 (an escape), each ended.
print_lines() {
  local line
  local -n printed=$2
  for line in "${printed[@]}"; do
    printf '%s%s%s\n' "$1" "$line" "$plain"
  done
}

# Says its words as the tour's own, "## " in front of each line they take (and the blanks they
# start with, an indent).
say() {
  [ "$quiet" = 1 ] && return 0
  local lines text="$*"
  local indent=${text%%[! ]*}
  wrap lines "## $indent" "## $indent" "$text"
  print_lines "$dim" lines
}

# A command as the reader would type it: never wrapped, so that it can be copied.
show() {
  [ "$quiet" = 1 ] || printf '%s$ %s%s\n' "$bold" "$*" "$plain"
}

# Shows program $1 (a path) and its arguments being run, as the step the tour is in.
starting() {
  stage="${stage%% (*} (${1##*/}${2:+ ${*:2}})"
  show "${1##*/}" "${@:2}"
}

# The tour's message $* on its standard error: "tour: ", wrapped under it.
message() {
  local lines indent
  printf -v indent '%*s' "$((${#tour_name} + 2))" ''
  wrap lines "$tour_name: " "$indent" "$*"
  print_lines "$bold" lines >&2
}

# Wrong usage (an option, a name, a setting): its message and status 2, before the tour has made
# anything of its own but its temporary folder, which its clean-up removes.
refuse() {
  trap '' INT TERM
  message "$*"
  exit 2
}

# Ends the tour with status 1 and a message on its standard error (no function runs
# redirected).
stop() {
  trap '' INT TERM
  echo >&2
  message "$*"
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

# With --step: waits for Enter before what comes next ($1: "step 3, the segment"); q (or the end
# of input) ends the tour.
pause() {
  local answer lines last
  [ "$stepping" = 1 ] && [ "$quiet" = 0 ] || return 0
  wrap lines "" "" "Enter: $1; q: end"
  last=${lines[-1]}
  unset 'lines[-1]'
  print_lines "$dim" lines
  read -r -p "$dim$last$plain " answer || answer=q
  if [[ $answer == [qQ] ]]; then
    end_tour "You ended the tour here. $tour_command --step starts it again."
  fi
}

# A heading, of a step or its lesson ($2: its mark, "====" by default).
heading() {
  [ "$quiet" = 1 ] && return 0
  local mark=${2:-====} lines
  wrap lines "$mark " "$mark " "$1 $mark"
  echo
  print_lines "$bold" lines
}

# The heading of a step's kernel side ($1: "saw" or "holds"), apart from the programs' lines.
view() {
  stage="${stage%% (*} (what the kernel $1)"
  heading "what the kernel $1" --
}
