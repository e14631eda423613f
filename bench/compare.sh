#!/usr/bin/env bash
# Times vos against the hash-map indexer of record (../shared/bench/hash_indexer.cc, built with g++ -O2 -std=c++17)
# on generated corpora, in headword mode and in full-text mode with the German stop-word list. The two programs run
# alternately, so that a change in the machine's load falls on both; the table shows medians of wall time, CPU time
# (user + system) and peak resident memory, and vos's ratios to the yardstick. It also checks that both filed the
# same number of keys.
#
# usage: bench/compare.sh [--corpora "big100M fort100M"] [--1g] [--runs N] [--dir DIR] [--build DIR] [--vos BINARY]
#                         [--cpu N]
#   --corpora  corpus names (default "big100M fort100M"): bigSIZE is the dictionary, fortSIZE the fortunes source
#   --1g       add big1G, the 1 GB dictionary
#   --runs     runs per tool, mode and corpus (default 5)
#   --dir      where the corpora live (default ../corpora beside the repository, never inside it); a missing one
#              is generated there by ../shared/bench/make-corpus.sh
#   --build    the Release build directory to use (default build/perf), configured here if it is not yet
#   --vos      time this vos binary instead of the one built here (e.g. an older build, for a before/after table)
#   --cpu      run both programs on this processor only (taskset): on virtual machines whose processors differ
#              in speed from run to run this takes the spread out of the ratios, but vos's scan then has no second
#              processor for its reading thread
# Needs: cmake, g++, and /usr/bin/time (Debian package `time`).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
shared=$(cd "$repo/../shared/bench" 2>/dev/null && pwd) || shared=
names="big100M fort100M"
runs=5
corpora="$repo/../corpora"
build="$repo/build/perf"
vos=
usage="usage: $0 [--corpora \"big100M fort100M\"] [--1g] [--runs N] [--dir DIR] [--build DIR] [--vos BINARY] [--cpu N]"
pin=()
while (($#)); do
  case "$1" in
    --corpora) names=$2; shift 2 ;;
    --1g) names="$names big1G"; shift ;;
    --runs) runs=$2; shift 2 ;;
    --dir) corpora=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --vos) vos=$2; shift 2 ;;
    --cpu) pin=(taskset -c "$2"); shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
if [ -z "$shared" ] || [ ! -f "$shared/hash_indexer.cc" ]; then
  echo "compare.sh: ../shared/bench/hash_indexer.cc not found" >&2
  exit 1
fi
stopwords="$shared/stopwords-de.txt"
[ -x /usr/bin/time ] || { echo "compare.sh: /usr/bin/time missing: apt-get install time" >&2; exit 1; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOS_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target vos >/dev/null
vos=${vos:-$build/vos}
yardstick=$build/hash_indexer
if [ ! -x "$yardstick" ] || [ "$shared/hash_indexer.cc" -nt "$yardstick" ]; then
  g++ -O2 -std=c++17 -o "$yardstick" "$shared/hash_indexer.cc"
fi

mkdir -p "$corpora"
corpora=$(cd "$corpora" && pwd)
case "$corpora/" in "$repo"/*) echo "compare.sh: corpora must live outside the repository" >&2; exit 1 ;; esac
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Runs a tool once and appends "wall cpu rss-KiB" to its times file; `name` is vos or yardstick.
run_once() {
  local name=$1
  shift
  /usr/bin/time -o "$scratch/time" -f "%e %U %S %M" ${pin[@]+"${pin[@]}"} "$@" >"$scratch/$name.stdout" 2>"$scratch/$name.stderr"
  awk '{ print $1, $2 + $3, $4 }' "$scratch/time" >>"$scratch/$name.times"
}
column_median() { awk -v c="$2" '{ print $c }' "$scratch/$1.times" | median; }

echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "# load before: $(cut -d' ' -f1-3 /proc/loadavg); medians of $runs alternating runs, warm page cache${pin[*]:+, both run under ${pin[*]}}"
echo
echo "| corpus | mode | vos wall s | yardstick wall s | wall ratio | vos CPU s | yardstick CPU s | CPU ratio | RSS MiB vos / yardstick | RSS ratio |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for name in $names; do
  corpus="$corpora/$name.txt"
  if [ ! -s "$corpus" ]; then
    case "$name" in
      big*) "$shared/make-corpus.sh" --size "${name#big}" --out "$corpus" >&2 ;;
      fort*) "$shared/make-corpus.sh" --size "${name#fort}" --source fortunes --out "$corpus" >&2 ;;
      *) echo "compare.sh: $corpus missing and its name says neither big nor fort" >&2; exit 1 ;;
    esac
  fi
  cat "$corpus" >/dev/null  # warm page cache
  for mode in headword fulltext; do
    if [ "$mode" = headword ]; then flags=(); else flags=(-f -e "$stopwords"); fi
    rm -f "$scratch"/*.times
    for ((i = 0; i < runs; i++)); do
      # Alternate which tool goes first, so that neither always meets the other's leftovers.
      if ((i % 2 == 0)); then
        run_once yardstick "$yardstick" "${flags[@]}" -d "$corpus" -i "$scratch/yardstick.out"
        run_once vos "$vos" "${flags[@]}" -d "$corpus" -i "$scratch/index.dat"
      else
        run_once vos "$vos" "${flags[@]}" -d "$corpus" -i "$scratch/index.dat"
        run_once yardstick "$yardstick" "${flags[@]}" -d "$corpus" -i "$scratch/yardstick.out"
      fi
    done
    # Both must have filed the same keys: vos's "Geamtzahl" against the yardstick's "total=".
    vtotal=$(grep -a '^Geamtzahl: ' "$scratch/vos.stdout" | cut -d' ' -f2 || true)
    ytotal=$(grep -o 'total=[0-9]*' "$scratch/yardstick.stderr" | cut -d= -f2 || true)
    [ "$vtotal" = "$ytotal" ] || echo "compare.sh: $name $mode: vos filed $vtotal keys, the yardstick $ytotal" >&2
    awk -v c="$name" -v m="$mode" \
        -v vw="$(column_median vos 1)" -v yw="$(column_median yardstick 1)" \
        -v vc="$(column_median vos 2)" -v yc="$(column_median yardstick 2)" \
        -v vr="$(column_median vos 3)" -v yr="$(column_median yardstick 3)" 'BEGIN {
      printf "| %s | %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.0f / %.0f | %.2f |\n",
             c, m, vw, yw, vw / yw, vc, yc, vc / yc, vr / 1024, yr / 1024, vr / yr }'
  done
done
echo
echo "# load after: $(cut -d' ' -f1-3 /proc/loadavg)"
