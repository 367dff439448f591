#!/usr/bin/env bash
# Times threetally against two one-thread references, to show where its speed comes from:
#   plain       bench/reference.cpp: the same work in one thread, written the plainest way;
#   careful     bench/careful_reference.cpp: one thread with threetally's care for memory (table
#               on a 2 MiB boundary and advised for huge pages, loops aligned), same loops;
#   threetally  build/release/bin/threetally, sixteen threads on all cores;
#   one-core    threetally confined to core 0 (taskset -c 0).
# After WARMUP uncounted rounds, ROUNDS rounds each run the four back to back in that order.
# Each round gives three ratios (threetally/plain, threetally/careful, one-core/threetally), and
# the medians of these per-round ratios are the results: runs made one right after the other
# share the machine's state, so drift and other load hit both sides of a ratio alike.
# It only reports; the targets are printed as context.
# Usage: bench/threetally.sh [ROUNDS [WARMUP]]        (defaults: 15 rounds, 3 warm-up rounds)
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

rounds=${1:-15}
warmup=${2:-3}
[[ $rounds =~ ^[1-9][0-9]*$ && $warmup =~ ^[0-9]+$ ]] ||
  {
    echo "usage: $0 [ROUNDS [WARMUP]]" >&2
    exit 2
  }
command -v taskset >/dev/null || {
  echo "$0: needs taskset (util-linux)" >&2
  exit 2
}
out_dir=build/bench
mkdir -p "$out_dir"

cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
# As the release preset compiles and hardens the programs, but the plain reference's loops are
# left where they land.
flags=(-std=c++20 -O3 -DNDEBUG -Wall -Wextra -Wpedantic -fPIE -pie -fstack-protector-strong
  -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -z relro -z now)
g++ "${flags[@]}" bench/reference.cpp -o "$out_dir/reference"
g++ "${flags[@]}" -falign-loops=64 bench/careful_reference.cpp -o "$out_dir/careful_reference"
g++ "${flags[@]}" bench/measure.cpp -o "$out_dir/measure"
threetally=build/release/bin/threetally
names=(plain careful threetally one-core)
binaries=("$out_dir/reference" "$out_dir/careful_reference" "$threetally" "$threetally")

# check NAME: the program's output in out.txt must be exactly the total line.
check() {
  printf 'Total count= 33554432 \n' | cmp -s - "$out_dir/out.txt" ||
    {
      echo "$1 printed: $(cat "$out_dir/out.txt")" >&2
      exit 1
    }
}
# run I: one timed run of program I (the last one confined to core 0, and timed from there).
# Sets wall (seconds) and rss_kib (peak).
run() {
  local confine=()
  (($1 < 3)) || confine=(taskset -c 0)
  "${confine[@]}" "$out_dir/measure" "${binaries[$1]}" >"$out_dir/out.txt" \
    2>"$out_dir/measure.txt" || {
    echo "${names[$1]} exited with status $?" >&2
    exit 1
  }
  check "${names[$1]}"
  read -r wall rss_kib < <(tail -n 1 "$out_dir/measure.txt")
}
# median V...: the median of the numbers given; maximum V...: the largest.
median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
maximum() { printf '%s\n' "$@" | sort -g | tail -n 1; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
load() { cut -d ' ' -f 1-3 /proc/loadavg; }

thp=/sys/kernel/mm/transparent_hugepage
echo "THP enabled: $(cat "$thp/enabled" 2>/dev/null || echo unknown)"
echo "THP defrag:  $(cat "$thp/defrag" 2>/dev/null || echo unknown)"
echo "cores: $(nproc); $rounds rounds after $warmup warm-up rounds; load average: $(load)"
printf '%-9s %8s %8s %10s %8s | %8s %10s %8s\n' "" "${names[@]}" \
  "tt/plain" "tt/careful" "one/all"
walls=("" "" "" "") rss=("" "" "" "") ratios=("" "" "")
for ((r = 1 - warmup; r <= rounds; r++)); do # rounds up to 0 are the warm-up, not counted
  round_walls=()
  for i in 0 1 2 3; do
    run "$i"
    round_walls[i]=$wall
    ((r < 1)) || walls[i]+=" $wall" rss[i]+=" $rss_kib"
  done
  round_ratios=("$(ratio "${round_walls[2]}" "${round_walls[0]}")"
  "$(ratio "${round_walls[2]}" "${round_walls[1]}")"
  "$(ratio "${round_walls[3]}" "${round_walls[2]}")")
  if ((r < 1)); then label="warm-up"; else label="round $r"; fi
  for i in 0 1 2; do ((r < 1)) || ratios[i]+=" ${round_ratios[i]}"; done
  printf '%-9s %8.3f %8.3f %10.3f %8.3f | %8s %10s %8s\n' "$label" "${round_walls[@]}" \
    "${round_ratios[@]}"
done

# One more, untimed run of threetally that is held at its output, table still in place, to
# read how much of the table the kernel put in huge pages.
"$out_dir/measure" --huge-pages "$threetally" >"$out_dir/out.txt" 2>"$out_dir/measure.txt"
check threetally
read -r huge_kib _ < <(tail -n 1 "$out_dir/measure.txt")

echo
echo "Medians of $rounds rounds (wall time; peak RSS, largest of the rounds):"
labels=("plain reference" "careful reference" "threetally" "threetally on one core")
for i in 0 1 2 3; do
  read -ra w <<<"${walls[i]}"
  read -ra m <<<"${rss[i]}"
  printf '  %-24s %.3f s  %6s MiB\n' "${labels[i]}" "$(median "${w[@]}")" \
    "$(mib "$(maximum "${m[@]}")")"
done
echo "Medians of the per-round ratios:"
labels=("threetally / plain reference" "threetally / careful reference"
  "one core / all cores")
for i in 0 1 2; do
  read -ra v <<<"${ratios[i]}"
  printf '  %-32s %.3f\n' "${labels[i]}" "$(median "${v[@]}")"
done
((huge_kib >= 0)) || huge_kib="(not seen)"
echo "threetally's table in huge pages: $huge_kib of 262144 KiB (AnonHugePages while it prints)"
echo "load average at the end: $(load)"
echo "targets on 2 cores: threetally / careful reference <= 0.85, threetally peak RSS <= 262 MiB"
echo
cat <<'EOF'
What the figures mean: threetally / careful is what the sixteen threads buy over one thread that
treats memory just as well; threetally / plain adds what huge pages and aligned loops buy; one
core / all cores is the threads' gain on this machine's cores as they are (1.0: none).
Notes: the work is bound by memory: one thread fills the table (the kernel first zeroes each
fresh page), then the threads read it once. On a VM that hands free memory back to its host (this
one does, in 2 MiB blocks), the first run after a pause of a few seconds can be ten times slower,
as the memory comes back: hence the warm-up rounds, and ratios taken within a round. Other work
on the machine takes cores and memory bandwidth, mostly from threetally: mind the load averages.
EOF
