# shellcheck shell=bash
# What the tour holds, and its clean-up: however the tour ends (its end, a failure, Ctrl-C, its
# reader gone), it stops every process below its own and removes the segment and the semaphore
# it made, and nothing of anybody else's. Sourced by the tour.

segment_runner=""  # the job that ran segmake
segments_before="" # the segments there were before segmake ran: never the tour's
segment=""         # the segment segmake made, once known
semaphore=""       # the semaphore's name, and its file, tried in turn
semaphore_file=""
semaphore_made="" # the inode and owner of the semaphore's file right after gatenew
gatenew_ran=0     # 1 once gatenew ran
cleaned=0         # 1 once the clean-up began

# Every process below process $1, children first.
descendants() {
  local child
  for child in $(pgrep -P "$1"); do
    [ "$child" = "$BASHPID" ] && continue # the command substitution that asks
    echo "$child"
    descendants "$child"
  done
}

# True when none of the processes given is left but as a zombie.
gone() {
  local pid
  for pid; do
    [[ $(ps -o stat= -p "$pid") != [^Z]* ]] || return 1
  done
}

# Stops every process below the tour's (bounded), and nothing else; removes the segment, the
# semaphore and the temporary folder. INT and TERM are ignored: no Ctrl-C stops it half-way.
cleanup() {
  trap '' INT TERM
  [ "$cleaned" = 1 ] && return
  quiet=0
  cleaned=1
  local creators="" tree
  if [ -n "$segment_runner" ]; then
    creators=" $segment_runner $(descendants "$segment_runner" | tr '\n' ' ')"
  fi
  # Stopped first, so that nothing forks as the tree is listed (a strace killed as it starts left
  # its child to run on, adopted), then killed: KILL, which strace cannot hold back. Jobs are
  # disowned, so bash reports none as "Killed"; then the clean-up waits until all are gone.
  disown -a
  mapfile -t tree < <(descendants $$)
  kill -STOP "${tree[@]}" 2>/dev/null
  mapfile -t tree < <(descendants $$)
  kill -KILL "${tree[@]}" 2>/dev/null
  wait_until 3 gone "${tree[@]}"
  remove_segment "$creators"
  remove_semaphore
  [ -z "$work" ] || rm -rf "$work"
}

# The reader of the tour's output has gone (./tour | head): the tour ends, cleaning up quietly.
output_gone() {
  exec >/dev/null
  [ "$cleaned" = 1 ] && return
  trap '' PIPE
  stop "standard output was closed${stage:+ during $stage}"
}

# The identifier in segmake's line, once it has printed it.
segment_printed() {
  sed -n 's/^Successfully created segment : \([0-9][0-9]*\) $/\1/p' \
    "$work/${run_file["segment/segmake"]-}.out" 2>/dev/null
}

# Removes the segment segmake printed or, where it did not say, those its process ($1) made
# since it started.
remove_segment() {
  [ -z "$segment" ] && [ -n "$segment_runner" ] && segment=$(segment_printed)
  if [ -z "$segment" ] && [ -n "$1" ] && [ -r /proc/sysvipc/shm ]; then
    segment=$(awk -v creators="$1 " -v before=" $segments_before " '
      NR > 1 && index(creators, " " $5 " ") && !index(before, " " $2 " ") { print $2 }
    ' /proc/sysvipc/shm)
  fi
  local id
  for id in $segment; do
    if ipcrm -m "$id" 2>/dev/null; then
      say "Removed the shared-memory segment $id that the tour made (ipcrm -m $id)."
    fi
  done
}

# Notes the inode and owner of the semaphore's file, where it is a file of this user's.
note_semaphore() {
  local made inode owner type
  capture made stat -c '%i %u %F' -- "$semaphore_file"
  read -r inode owner type <<<"$made"
  [ "$owner" = "$EUID" ] && [ "$type" = "regular file" ] && semaphore_made="$inode $owner"
}

# Removes the semaphore's file that gatenew made: the same inode and owner (the name quoted, to
# be copied safely).
remove_semaphore() {
  [ "$gatenew_ran" = 1 ] && [ -z "$semaphore_made" ] && note_semaphore
  [ -n "$semaphore_made" ] || return 0
  [ "$(stat -c '%i %u' -- "$semaphore_file" 2>/dev/null)" = "$semaphore_made" ] || return 0
  rm -f -- "$semaphore_file" || return 0
  say "Removed the named semaphore $semaphore that the tour made (rm '$semaphore_file')."
}
