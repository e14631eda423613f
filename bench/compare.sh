#!/usr/bin/env bash
# Times vos against the hash-map yardstick (bench/yardstick.cc) on generated corpora, in headword mode and in
# full-text mode with the German stop-word list, and prints a table of median wall time, CPU time, MB/s and peak
# resident memory, with vos's ratios to the yardstick.
#
# usage: bench/compare.sh [--sizes "10M 100M"] [--1g] [--runs N] [--corpora DIR] [--build DIR] [--vos BINARY]
#   --sizes    corpus sizes to run (default "10M 100M"); each is generated once by the shared corpus generator
#   --1g       also run the 1 GB corpus (generating it takes several minutes, a run of the yardstick about a minute)
#   --runs     runs per tool, mode and corpus (default 5); the table shows medians
#   --corpora  where the corpora live (default ../corpora beside the repository; never inside it)
#   --build    the Release build directory to use (default build/perf), configured here if it is not yet
#   --vos      time this vos binary instead of the one built here (e.g. an older build, for a before/after table)
# Needs: cmake, a C++ compiler, libbenchmark-dev, and /usr/bin/time (Debian package `time`).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
shared=$(cd "$repo/../shared/bench" 2>/dev/null && pwd) || shared=
sizes="10M 100M"
runs=5
corpora="$repo/../corpora"
build="$repo/build/perf"
vos=
while (($#)); do
  case "$1" in
    --sizes) sizes=$2; shift 2 ;;
    --1g) sizes="$sizes 1G"; shift ;;
    --runs) runs=$2; shift 2 ;;
    --corpora) corpora=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --vos) vos=$2; shift 2 ;;
    *) echo "usage: $0 [--sizes \"10M 100M\"] [--1g] [--runs N] [--corpora DIR] [--build DIR] [--vos BINARY]" >&2
       exit 2 ;;
  esac
done
if [ -z "$shared" ] || [ ! -x "$shared/make-corpus.sh" ]; then
  echo "compare.sh: ../shared/bench/make-corpus.sh not found" >&2
  exit 1
fi
stopwords="$shared/stopwords-de.txt"
[ -x /usr/bin/time ] || { echo "compare.sh: /usr/bin/time missing: apt-get install time" >&2; exit 1; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOS_BUILD_TESTS=OFF -DVOS_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target vos vos_yardstick >/dev/null
vos=${vos:-$build/vos}
yardstick=$build/bench/vos_yardstick

mkdir -p "$corpora"
corpora=$(cd "$corpora" && pwd)
case "$corpora/" in "$repo"/*) echo "compare.sh: corpora must live outside the repository" >&2; exit 1 ;; esac
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Runs one command `runs` times and prints "median-wall median-cpu max-rss-KiB".
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
measure() {
  local i
  : >"$scratch/times"
  for ((i = 0; i < runs; i++)); do
    /usr/bin/time -o "$scratch/time" -f "%e %U %S %M" "$@" >/dev/null
    cat "$scratch/time" >>"$scratch/times"
  done
  echo "$(awk '{ print $1 }' "$scratch/times" | median)" \
       "$(awk '{ print $2 + $3 }' "$scratch/times" | median)" \
       "$(awk '{ print $4 }' "$scratch/times" | sort -n | tail -1)"
}

row='%-6s %-10s %-10s %9s %9s %8s %9s %11s %10s\n'
# shellcheck disable=SC2059
printf "$row" corpus mode tool "wall s" "cpu s" "MB/s" "RSS MiB" "wall ratio" "RSS ratio"
for size in $sizes; do
  corpus="$corpora/corpus-$size.txt"
  [ -s "$corpus" ] || "$shared/make-corpus.sh" --size "$size" --out "$corpus" >&2
  bytes=$(stat -c %s "$corpus")
  cat "$corpus" >/dev/null  # warm page cache
  for mode in headword fulltext; do
    if [ "$mode" = headword ]; then flags=(); else flags=(-f -e "$stopwords"); fi
    read -r ywall ycpu yrss < <(measure "$yardstick" "${flags[@]}" "$corpus" "$scratch/yardstick.out")
    read -r vwall vcpu vrss < <(measure "$vos" "${flags[@]}" -d "$corpus" -i "$scratch/index.dat")
    for tool in yardstick vos; do
      if [ "$tool" = vos ]; then wall=$vwall cpu=$vcpu rss=$vrss; else wall=$ywall cpu=$ycpu rss=$yrss; fi
      awk -v c="$size" -v m="$mode" -v t="$tool" -v w="$wall" -v u="$cpu" -v r="$rss" -v b="$bytes" \
          -v yw="$ywall" -v yr="$yrss" 'BEGIN {
        ratio = t == "vos" ? sprintf("%.2f", w / yw) : ""; rratio = t == "vos" ? sprintf("%.2f", r / yr) : ""
        printf "%-6s %-10s %-10s %9.2f %9.2f %8.0f %9.1f %11s %10s\n",
               c, m, t, w, u, b / 1e6 / w, r / 1024, ratio, rratio }'
    done
  done
done
