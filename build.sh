#!/usr/bin/env bash
# One entry for the quick start:  ./build.sh run   or   ./build.sh test
set -euo pipefail
cd "$(dirname "$0")"

mode="${1:-run}"
shift || true

bash scripts/setup.sh

build_dir="${VENDREL_BUILD_DIR:-build}"
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "$mode" = sanitize ]; then
  # The same tests under the address and undefined-behaviour sanitizers.
  build_dir="${VENDREL_BUILD_DIR:-build-sanitize}"
  options=(-DCMAKE_BUILD_TYPE=Debug -DVENDREL_SANITIZE=ON -DVENDREL_BENCH=OFF)
  mode=test
fi
cmake -S . -B "$build_dir" -G Ninja "${options[@]}" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"

case "$mode" in
  run)
    exec "$build_dir/vendrel" "$@"
    ;;
  test)
    export QT_QPA_PLATFORM=offscreen
    cd "$build_dir"
    exec ctest --output-on-failure --timeout 300 -j "$(nproc)" "$@"
    ;;
  bench)
    for b in "$build_dir"/bench/bench_*; do "$b" "$@"; done
    ;;
  *)
    echo "usage: $0 run|test|sanitize|bench" >&2
    exit 2
    ;;
esac
