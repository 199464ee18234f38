#!/usr/bin/env bash
# Configures and builds one build tree. Usage: scripts/build.sh [DIR] [extra cmake args] [-- targets]
#   scripts/build.sh                          the normal tree in build/
#   scripts/build.sh build-asan -DTONVIA_SANITIZER=address -- tonvia_tests
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:-build}
[ $# -gt 0 ] && shift
cmake_args=()
targets=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--" ]; then shift; targets=("$@"); break; fi
  cmake_args+=("$1"); shift
done

# ccache keys on paths relative to the checkout, so another clone of the same sources (CI's)
# reuses the cache.
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.ccache}
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G}
export CCACHE_BASEDIR=$PWD
export CCACHE_NOHASHDIR=1

cmake -S . -B "$dir" -G Ninja ${cmake_args[@]+"${cmake_args[@]}"} >/dev/null
ninja -C "$dir" ${targets[@]+"${targets[@]}"}
