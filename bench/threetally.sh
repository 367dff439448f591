#!/usr/bin/env bash
# Times threetally (sixteen threads) against bench/reference.cpp (the same work in one plain
# thread): after one warm-up run of each, RUNS runs of each, alternating, then the median wall
# time and the peak resident memory of each. It only reports; the targets are printed as context.
# Usage: bench/threetally.sh [RUNS]        (RUNS defaults to 9)
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

runs=${1:-9}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [RUNS]" >&2; exit 2; }
out_dir=build/bench
mkdir -p "$out_dir"

cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
flags=(-std=c++20 -O3 -DNDEBUG -Wall -Wextra -Wpedantic)   # as the release preset compiles
g++ "${flags[@]}" bench/reference.cpp -o "$out_dir/reference"
g++ "${flags[@]}" bench/measure.cpp -o "$out_dir/measure"
binaries=("$out_dir/reference" build/release/bin/threetally)
names=(reference threetally)

# run I: one run of program I; its output must be exactly the total line. Sets wall and rss_kib.
run() {
  local name=${names[$1]}
  "$out_dir/measure" "${binaries[$1]}" >"$out_dir/out.txt" 2>"$out_dir/measure.txt" ||
    { echo "$name exited with status $?" >&2; exit 1; }
  printf 'Total count= 33554432 \n' | cmp -s - "$out_dir/out.txt" ||
    { echo "$name printed: $(cat "$out_dir/out.txt")" >&2; exit 1; }
  read -r wall rss_kib < <(tail -n 1 "$out_dir/measure.txt")
}
# median V...: the median of the numbers given; maximum V...: the largest.
median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
maximum() { printf '%s\n' "$@" | sort -g | tail -n 1; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

thp=/sys/kernel/mm/transparent_hugepage
echo "THP enabled: $(cat "$thp/enabled" 2>/dev/null || echo unknown)"
echo "THP defrag:  $(cat "$thp/defrag" 2>/dev/null || echo unknown)"
echo "nproc: $(nproc); runs of each: $runs (after one warm-up run of each)"
walls=("" "") rss=("" "")
for ((r = 0; r <= runs; r++)); do   # run 0 is the warm-up, shown but not counted
  line=$(printf '%-8s' "run $r:")
  ((r > 0)) || line="warm-up:"
  for i in 0 1; do
    run "$i"
    ((r == 0)) || walls[i]+=" $wall" rss[i]+=" $rss_kib"
    line+=$(printf '  %-10s %.3f s %6s MiB' "${names[i]}" "$wall" "$(mib "$rss_kib")")
  done
  echo "$line"
done

med_wall=()
for i in 0 1; do
  read -ra w <<<"${walls[i]}"
  read -ra m <<<"${rss[i]}"
  med_wall[i]=$(median "${w[@]}")
  printf '%-10s median wall %.3f s, peak RSS median %s MiB (max %s MiB)\n' "${names[i]}" \
    "${med_wall[i]}" "$(mib "$(median "${m[@]}")")" "$(mib "$(maximum "${m[@]}")")"
done
awk -v t="${med_wall[1]}" -v r="${med_wall[0]}" \
  'BEGIN { printf "ratio threetally/reference of the medians: %.3f\n", t / r }'
echo "targets on 2 cores: ratio <= 0.55, threetally peak RSS <= 260 MiB (reported, not enforced)"
