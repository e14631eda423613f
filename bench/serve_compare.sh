#!/usr/bin/env bash
# Runs vos-serve and the established DICT server (Debian's dictd, reading uncompressed text, its faster form)
# side by side on the same dictionary, both as processes of this script on free loopback ports, drives each with
# bench/dict_load.cc and prints one table with vos-serve's ratios. A third server that does no work
# (bench/fixed_answer_server.cc, answers of vos-serve's mean size) runs the DEFINE tests beside them: what it
# reaches is the most any server can on this machine with this client.
#
# usage: bench/serve_compare.sh [--corpus FILE] [--work DIR] [--build DIR] [--count N]
#   --corpus  the dictionary (default ../corpora/big100M.txt beside the repository)
#   --work    where the indexes, dictd's database and the word list are kept between runs (default
#             /tmp/vos-serve-bench; never inside the repository)
#   --build   the Release build directory to use (default build/perf), configured here if it is not yet
#   --count   DEFINE queries of the one-connection runs (default 20000; the other runs scale from it)
# Each test runs ROUNDS times (default 5) on each server in turn; the table shows each server's best round.
# Needs: dictd, dictfmt (Debian packages of the same names), iconv, and libbenchmark-dev for the bench build.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
corpus="$repo/../corpora/big100M.txt"
work=/tmp/vos-serve-bench
build="$repo/build/perf"
count=20000
while (($#)); do
  case "$1" in
    --corpus) corpus=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    *) echo "usage: $0 [--corpus FILE] [--work DIR] [--build DIR] [--count N]" >&2; exit 2 ;;
  esac
done
for tool in dictd dictfmt iconv; do
  command -v "$tool" >/dev/null || { echo "serve_compare.sh: $tool missing (apt-get install dictd dictfmt)" >&2; exit 1; }
done
[ -f "$corpus" ] || { echo "serve_compare.sh: no corpus at $corpus" >&2; exit 1; }
mkdir -p "$work"
work=$(cd "$work" && pwd)
case "$work/" in "$repo"/*) echo "serve_compare.sh: --work must lie outside the repository" >&2; exit 1 ;; esac

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOS_BUILD_TESTS=OFF -DVOS_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target vos vos-serve dict_load fixed_answer_server >/dev/null
load="$build/bench/dict_load"

# The databases, built once per corpus and kept in the work directory.
name=$(basename "$corpus" .txt)
index="$work/$name.idx"
if [ ! -f "$index" ] || [ "$corpus" -nt "$index" ]; then
  "$build/vos" -d "$corpus" -i "$index" >/dev/null
fi
if [ ! -f "$work/$name.dict" ] || [ "$corpus" -nt "$work/$name.dict" ]; then
  # Each entry becomes dictfmt -p input: "%h " and its headwords (blanks around each dropped, repeats dropped, up
  # to the first empty one) joined by "%%%", then the entry's own lines, headword line included, so that both
  # servers answer the same text. A body line that starts with %h or %d gets a blank, or dictfmt obeys it.
  iconv -f ISO-8859-1 -t UTF-8 "$corpus" | awk '
    BEGIN { head = 0 }
    head {
      n = split($0, parts, ","); words = ""; split("", seen)
      for (i = 1; i <= n; i++) {
        w = parts[i]; gsub(/^[ \t]+|[ \t]+$/, "", w)
        if (w == "") break
        if (w in seen) continue
        seen[w] = 1; words = words == "" ? w : words "%%%" w
      }
      if (words == "") words = $0
      print "%h " words; print; head = 0; started = 1; next
    }
    $0 == "%" { head = 1; next }
    !started { next }
    /^%[hd]/ { print " " $0; next }
    { print }' |
    dictfmt -p --utf8 --without-headword --index-keep-orig --headword-separator '%%%' --columns 0 \
      -s "$name" -u "file://$corpus" "$work/$name" >/dev/null 2>&1
fi
# Words to ask for: the first headword of every 37th entry, in UTF-8.
words="$work/$name.words"
if [ ! -f "$words" ] || [ "$corpus" -nt "$words" ]; then
  iconv -f ISO-8859-1 -t UTF-8 "$corpus" |
    awk '$0 == "%" { head = 1; next } head { head = 0; if (++n % 37 == 0) { split($0, p, ","); if (p[1] != "") print p[1] } }' \
    >"$words"
fi

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# A loopback port nothing listens on: a connection to it is refused. It lies below the range the kernel hands out
# to outgoing connections, whose ports (the load generator's own, some still in TIME_WAIT) a server cannot bind.
low=$(awk '{ print $1 }' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
((low > 12000)) || { echo "serve_compare.sh: no free port range below $low" >&2; exit 1; }
free_port() {
  local p
  while :; do
    p=$((10000 + RANDOM % (low - 10000)))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}
declare -A port pid first

# Starts one server and times its first answer. $1: label; the rest: its command line with PORT for the port.
start() {
  local label=$1; shift
  local since
  port[$label]=$(free_port)
  since=$(date +%s%N)
  "${@//PORT/${port[$label]}}" >"$scratch/$label.log" 2>&1 &
  pid[$label]=$!
  pids+=("${pid[$label]}")
  first[$label]=$("$load" --port "${port[$label]}" --mode first --words "$words" --since "$since" --seconds 30 |
                  awk '{ printf "%.2f s", $2 }') || { echo "serve_compare.sh: $label did not answer:" >&2;
                                                    tail -5 "$scratch/$label.log" >&2; exit 1; }
}

# dictd drops its privileges before it reads its configuration: keep that beside its database, readable.
cat >"$work/dictd.conf" <<CONF
database $name { data "$work/$name.dict" index "$work/$name.index" }
CONF
chmod 644 "$work/dictd.conf"
# Both servers start with their files in the page cache, as they would be on a machine that serves them. Some
# virtual machines page out what has not been touched for a minute or two, and a start would then time the disk.
cat "$index" "$corpus" "$work/$name.dict" "$work/$name.index" >/dev/null
start dictd dictd --config "$work/dictd.conf" -p PORT --listen-to 127.0.0.1 -d nodetach --locale C.UTF-8
start vos "$build/vos-serve" --listen 127.0.0.1:PORT --db "$name:$index:$corpus"
# vos-serve answers at once and checks and catalogs the index on a thread of its own; measure after that.
for ((i = 0; i < 600; i++)); do grep -q ': checked' "$scratch/vos.log" && break; sleep 0.1; done
# The server that does no work answers with as many bytes as vos-serve does on average.
size=$("$load" --port "${port[vos]}" --words "$words" --db '*' --mode quick --count 2000 --seconds 30 |
       awk '{ print $NF }')
start fixed "$build/bench/fixed_answer_server" --port PORT --bytes "$size"

# Each test runs on both servers in turn, `rounds` times; the table shows each server's best round (by rate), as
# other work on the machine can only slow a round down.
rounds=${ROUNDS:-5}
tests=(wait quick parallel connect prefix lev)
declare -A options=(
  [wait]="--mode wait --count 2000 --seconds 10"
  [quick]="--mode quick --count $count --seconds 60"
  [parallel]="--mode parallel --connections 16 --count $((count / 10)) --seconds 60"
  [connect]="--mode connect --count $((count / 20)) --seconds 30"
  [prefix]="--mode prefix --count $((count / 10)) --seconds 30"
  [lev]="--mode lev --count $((count / 10)) --seconds 30"
)
# CPU seconds the server has used: its own, and that of the children it has reaped (dictd forks one for each
# connection).
cpu() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15 + $16 + $17) / hz }' "/proc/$1/stat"; }
for test in "${tests[@]}"; do
  labels=(dictd vos)
  [[ $test == quick || $test == parallel ]] && labels+=(fixed)
  for ((r = 0; r < rounds; r++)); do
    for label in "${labels[@]}"; do
      before=$(cpu "${pid[$label]}")
      # shellcheck disable=SC2086
      line=$("$load" --port "${port[$label]}" --words "$words" --db '*' ${options[$test]})
      sleep 0.2  # dictd reaps its children a moment after they end
      # The line gains the server's CPU microseconds per answer.
      awk -v b="$before" -v a="$(cpu "${pid[$label]}")" '{ printf "%s cpu %.0f\n", $0, ($10 > 0 ? (a - b) * 1e6 / $10 : 0) }' \
        <<<"$line" >>"$scratch/$test.$label"
    done
  done
done
best() { sort -t' ' -k2 -n "$1" | tail -n 1; }
rss() { awk '/^VmHWM/ { printf "%.0f MB", $2 / 1024 }' "/proc/$1/status"; }

rate() { awk '{ sub("/s", "", $2); print $2 }' <<<"$1"; }
p99() { awk '{ print $7 " ms" }' <<<"$1"; }
cpu_per() { awk '{ print $NF " µs" }' <<<"$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { a += 0; b += 0; if (b > 0) printf "%.2fx", a / b; else print "-" }'; }
row() {  # label, test
  local d v
  d=$(best "$scratch/$2.dictd")
  v=$(best "$scratch/$2.vos")
  printf '| %s | %s/s, p99 %s, CPU %s | %s/s, p99 %s, CPU %s | %s |\n' "$1" "$(rate "$d")" "$(p99 "$d")" \
    "$(cpu_per "$d")" "$(rate "$v")" "$(p99 "$v")" "$(cpu_per "$v")" "$(ratio "$(rate "$v")" "$(rate "$d")")"
}
echo "Corpus: $corpus ($(wc -c <"$corpus") bytes); $(nproc) cores, load average $(cut -d' ' -f1 /proc/loadavg);" \
     "best of $rounds rounds; $(date -u +%Y-%m-%d)"
echo
echo "Each cell: answers per second, 99th percentile latency, server CPU time per answer."
echo
echo "| test | dictd 1.13 (plain text) | vos-serve | vos-serve / dictd |"
echo "|---|---|---|---|"
row "one connection, a client that waits for each answer" wait
row "one connection, $count DEFINE, quick acknowledgements" quick
row "16 connections x $((count / 10)) DEFINE, quick acknowledgements" parallel
row "connect, DEFINE, QUIT" connect
row "MATCH prefix (first four letters)" prefix
row "MATCH lev (one letter changed)" lev
echo "| time to first answer | ${first[dictd]} | ${first[vos]} | |"
echo "| peak resident memory | $(rss "${pid[dictd]}") | $(rss "${pid[vos]}") | |"
echo
d=$(best "$scratch/quick.dictd"); f=$(best "$scratch/quick.fixed")
p=$(best "$scratch/parallel.dictd"); g=$(best "$scratch/parallel.fixed")
echo "A server that does no work, answering every DEFINE with the same $size bytes (the most any server reaches" \
     "here): one connection $(rate "$f")/s, $(ratio "$(rate "$f")" "$(rate "$d")") dictd;" \
     "16 connections $(rate "$g")/s, $(ratio "$(rate "$g")" "$(rate "$p")") dictd."
