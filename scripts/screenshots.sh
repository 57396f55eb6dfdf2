#!/bin/sh
# Retakes the pictures of the window in docs/screenshots/ on a virtual X
# display (Debian's xvfb), from a build in ./build.
set -eu
cd "$(dirname "$0")/.."
cmake --build build --target vendrel-screenshots
xvfb-run -a -s "-screen 0 1024x768x24" build/tests/shell/vendrel-screenshots docs/screenshots
