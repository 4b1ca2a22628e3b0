#!/bin/sh
# The dticut-maxflow executable itself against Boost push-relabel (CSR) on
# the same DIMACS file, alternately, REPETITIONS times (default 5); prints
# each run's solve times (dticut-maxflow's own solve_s) and the medians.
#   bench/flow/dimacs_compare.sh BUILD_DIR FILE [REPETITIONS]
set -eu
build=$1 file=$2 reps=${3:-5}
i=0
while [ "$i" -lt "$reps" ]; do
  i=$((i + 1))
  engine=$("$build/tools/dticut-maxflow" "$file")
  boost=$("$build/bench/flow/dticut-bench-dimacs" boost "$file")
  ef=$(echo "$engine" | sed 's/.*flow=\([0-9-]*\).*/\1/')
  bf=$(echo "$boost" | sed 's/.*flow=\([0-9-]*\).*/\1/')
  [ "$ef" = "$bf" ] || { echo "flows differ: $engine / $boost" >&2; exit 1; }
  es=$(echo "$engine" | sed 's/.*solve_s=\([0-9.]*\).*/\1/')
  bs=$(echo "$boost" | sed 's/.*solve_s=\([0-9.]*\).*/\1/')
  echo "run $i: flow=$ef dticut-maxflow solve_s=$es boost solve_s=$bs"
  echo "$es $bs" >> /tmp/dimacs_compare.$$
done
sort -n -k1,1 /tmp/dimacs_compare.$$ | awk '{e[NR]=$1} END {m=(NR%2)?e[(NR+1)/2]:(e[NR/2]+e[NR/2+1])/2; printf "median dticut-maxflow solve_s=%.4f", m}'
sort -n -k2,2 /tmp/dimacs_compare.$$ | awk '{b[NR]=$2} END {m=(NR%2)?b[(NR+1)/2]:(b[NR/2]+b[NR/2+1])/2; printf " boost solve_s=%.4f\n", m}'
rm -f /tmp/dimacs_compare.$$
