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
if [ "$mode" = fuzz ]; then
  # The HTML tokenizer against gumbo under libFuzzer, with Debian's clang,
  # for VENDREL_FUZZ_SECONDS (default 180).
  build_dir="${VENDREL_BUILD_DIR:-build-fuzz}"
  for p in clang libclang-rt-14-dev; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends clang libclang-rt-14-dev
      break
    fi
  done
  options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DVENDREL_SANITIZE=ON
           -DVENDREL_FUZZ=ON -DVENDREL_GUI=OFF -DVENDREL_BENCH=OFF)
  cmake -S . -B "$build_dir" -G Ninja "${options[@]}" >/dev/null
  cmake --build "$build_dir" --parallel "$(nproc)" --target fuzz_html
  mkdir -p "$build_dir/fuzz-corpus"
  cp tests/fixtures/pages/*.html "$build_dir/fuzz-corpus/"
  exec "$build_dir/tests/delivery/fuzz_html" -max_total_time="${VENDREL_FUZZ_SECONDS:-180}" -max_len=8192 \
    -timeout=10 "$@" "$build_dir/fuzz-corpus"
fi
if [ "$mode" = package ]; then
  # The package installs under /usr, and the man pages and the systemd unit
  # name the files where the package puts them.
  options+=(-DCMAKE_INSTALL_PREFIX=/usr)
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
    # A test that fails is run once more before it counts: the tray tests wait
    # on a real X server and tray host, which now and then miss a deadline on a
    # loaded machine. A test that fails twice still fails the run.
    exec ctest --output-on-failure --timeout 300 -j "$(nproc)" --repeat until-pass:2 "$@"
    ;;
  package)
    # A Debian package of the installed files, with its dependencies worked
    # out by dpkg-shlibdeps: build/vendrel_VERSION_ARCH.deb.
    cd "$build_dir"
    cpack -G DEB
    ls -1 "$PWD"/vendrel_*.deb
    ;;
  bench)
    for b in "$build_dir"/bench/bench_*; do "$b" "$@"; done
    ;;
  *)
    echo "usage: $0 run|test|sanitize|bench|fuzz|package" >&2
    exit 2
    ;;
esac
