#!/usr/bin/env bash
# One entry for the quick start:  ./build.sh run   or   ./build.sh test
set -euo pipefail
cd "$(dirname "$0")"

mode="${1:-run}"
shift || true

bash scripts/setup.sh

build_dir="${VENDREL_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
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
    echo "usage: $0 run|test|bench" >&2
    exit 2
    ;;
esac
