#!/usr/bin/env bash
# Shows the three programs on the bundled sample dictionary: indexes it, looks words up, and answers a query of the
# `dict` client through vos-serve. Everything it writes goes to BUILD_DIR; the text it prints is UTF-8.
#
# usage: scripts/demo.sh BUILD_DIR        (the directory holding vos, vos-lookup and vos-serve)
set -euo pipefail

bin=$(cd "${1:?usage: scripts/demo.sh BUILD_DIR}" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
# Paths are shown and used relative to the top of the repository, as a user would type them there.
cd "$top"
dict=examples/dict.txt
index=$(realpath --relative-to="$top" "$bin")/demo-index.dat

show() {
  printf '\n$ %s\n' "$*"
}

# vos prints ISO-8859-1 bytes; iconv makes its summary readable here.
show vos -d "$dict" -i "$index"
"$bin/vos" -d "$dict" -i "$index" | iconv -f ISO-8859-1 -t UTF-8

# The words are typed in UTF-8, as on any terminal today; vos-lookup converts them and its answers.
lookup() {
  show vos-lookup -i "$index" "$@"
  # Status 1 is a word not found, which the demo shows on purpose; anything else is a fault.
  "$bin/vos-lookup" --charset=UTF-8 -i "$index" "$@" || [ $? -eq 1 ]
}
lookup -d "$dict" Straße
lookup Heim Ölbaum
lookup -m -s prefix br
lookup Brucke

# vos-serve on a free port of the loopback, asked by the dictionary client that Debian ships.
if [ -x "$bin/vos-serve" ] && command -v dict >/dev/null 2>&1; then
  log=$bin/demo-serve.log
  "$bin/vos-serve" --listen 127.0.0.1:0 --db "demo:$index:$dict" 2>"$log" &
  server=$!
  trap 'kill "$server" 2>/dev/null || true' EXIT
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$log" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { cat "$log" >&2; echo "demo: vos-serve did not start" >&2; exit 1; }
  show vos-serve --listen 127.0.0.1:0 --db "demo:$index:$dict" "&"
  show dict -h 127.0.0.1 -p "$port" Fuß
  dict -h 127.0.0.1 -p "$port" Fuß
  show dict -h 127.0.0.1 -p "$port" -m -s prefix Br
  dict -h 127.0.0.1 -p "$port" -m -s prefix Br
fi
