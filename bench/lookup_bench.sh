#!/usr/bin/env bash
# Times vos-lookup on the index of a generated corpus: a fresh process for one word against a fresh process that
# only prints its version, 10,000 words in one call, --dump, and prefix, substring and lev matches. Prints
# hyperfine's summary (mean ± deviation, warm page cache after the warm-up runs).
#
# usage: bench/lookup_bench.sh [--corpus FILE] [--index FILE] [--build DIR] [--lookup BINARY] [--runs N]
#   --corpus  the dictionary to index (default ../corpora/big100M.txt beside the repository; never inside it)
#   --index   where its index is kept (default /tmp/<corpus name>.idx; written with vos -d when missing)
#   --build   the Release build directory (default build/release), configured and built here when needed
#   --lookup  time this vos-lookup binary instead (e.g. an older build, for a before/after comparison)
#   --runs    runs per command (default 20)
# Needs: cmake, a C++ compiler, hyperfine.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
corpus="$repo/../corpora/big100M.txt"
index=
build="$repo/build/release"
lookup=
runs=20
while (($#)); do
  case "$1" in
    --corpus) corpus=$2; shift 2 ;;
    --index) index=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --lookup) lookup=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: $0 [--corpus FILE] [--index FILE] [--build DIR] [--lookup BINARY] [--runs N]" >&2; exit 2 ;;
  esac
done
command -v hyperfine >/dev/null || { echo "lookup_bench.sh: hyperfine missing: apt-get install hyperfine" >&2; exit 1; }
[ -f "$corpus" ] || { echo "lookup_bench.sh: no corpus at $corpus" >&2; exit 1; }
[ -n "$index" ] || index=/tmp/$(basename "$corpus" .txt).idx

if [ ! -x "$build/vos" ] || [ ! -x "$build/vos-lookup" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOS_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target vos vos-lookup
fi
[ -n "$lookup" ] || lookup="$build/vos-lookup"
[ -f "$index" ] || "$build/vos" -d "$corpus" -i "$index" >/dev/null

# 10,000 keys of the index, spread over it, as the words of one call (read as the index's own bytes).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/vos-lookup" --charset=latin1 -i "$index" --dump > "$work/dump"
cut -f1 "$work/dump" | sed -n '1~50p' | sed -n '1,10000p' > "$work/words"
word=$(LC_ALL=C grep -a -v ' ' "$work/words" | sed -n '2500p')
printf '%s\n' "$word" > "$work/word"
echo "index: $index ($(stat -c %s "$index") bytes, $(wc -l < "$work/words") words sampled); one word: '$word'"

export LC_ALL=C
hyperfine --style basic --warmup 3 --runs "$runs" -N \
  -n 'version (fresh process)' "$lookup --version" \
  -n 'one word (fresh process)' "$lookup --charset=latin1 -i $index -- $word"
hyperfine --style basic --warmup 2 --runs "$runs" \
  -n '10,000 words in one call' "xargs -d '\n' -s 1000000 -x -a $work/words $lookup --charset=latin1 -i $index -- > /dev/null" \
  -n 'dump' "$lookup -i $index --dump > /dev/null" \
  -n 'dump, UTF-8 output' "$lookup --charset=utf-8 -i $index --dump > /dev/null" \
  -n 'match prefix' "$lookup -i $index -m -s prefix hau > /dev/null" \
  -n 'match substring' "$lookup -i $index -m -s substring aus > /dev/null" \
  -n 'match lev' "$lookup -i $index -m -s lev hause > /dev/null || true"
