#!/usr/bin/env bash
# Installs the Debian packages that one purpose of this repository needs and that are missing, and prints nothing
# when all are present. Made for Debian 12 (bookworm).
#
# usage: scripts/deps.sh [demo|test|all]
#   demo  build the three programs and show them on the bundled sample dictionary
#   test  demo, plus what the test suite needs (the default)
#   all   test, plus the sanitizer and fuzz builds (clang) and the benchmarks
#
# Runs apt-get as root, through sudo otherwise; when neither is possible it names the missing packages and fails.
set -euo pipefail

purpose=${1:-test}
demo=(cmake ninja-build g++ libasio-dev libtomlplusplus-dev liburing-dev dict)
test=("${demo[@]}" libgtest-dev)
all=("${test[@]}" clang libclang-rt-14-dev libbenchmark-dev time hyperfine dictd dictfmt dictzip)
case "$purpose" in
  demo) wanted=("${demo[@]}") ;;
  test) wanted=("${test[@]}") ;;
  all) wanted=("${all[@]}") ;;
  -h|--help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
  *) echo "deps.sh: unknown purpose '$purpose' (demo, test or all)" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$package")
done
((${#missing[@]})) || exit 0

if [ "$(id -u)" = 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  as_root=(sudo -n)
elif command -v sudo >/dev/null 2>&1 && [ -t 0 ]; then
  as_root=(sudo)  # asks for the password on the terminal
else
  echo "deps.sh: these Debian packages are missing: ${missing[*]}" >&2
  echo "deps.sh: install them as root: apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "deps.sh: installing ${missing[*]}" >&2
# A fresh machine has no package lists yet; refresh them once before installing.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
  >/dev/null
