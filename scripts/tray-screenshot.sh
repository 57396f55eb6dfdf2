#!/bin/sh
# Takes the README's picture of the tray icon with its menu open: a virtual
# X display, trayer as the notification area, Vendrel with a sample site list
# in a throw-away data folder. Needs xvfb, trayer, xdotool and imagemagick.
#   scripts/tray-screenshot.sh build/vendrel docs/screenshots/tray-menu.png
set -eu
program=$(readlink -f "$1")
out=$2
display=${DISPLAY_NUMBER:-:57}
work=$(mktemp -d)
pids=""
# A copy under a name of its own: the one-copy rule goes by the file name, so
# it neither hands over to a Vendrel you are running nor leaves that one's
# shared-memory names behind.
cp "$program" "$work/vendrel-shot"
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    rm -f "/dev/shm/vendrel-shot.$(id -u)" "/dev/shm/sem.VENDREL-SHOTSEM.$(id -u)"
    rm -rf "$work"
}
trap cleanup EXIT

data="$work/data/Quorvan/Vendrel"
mkdir -p "$data" "$work/config"
printf '[Server]\r\nSMTPServer=mail.example.test\r\n[Settings]\r\nDestEmail=me@example.test\r\nTrayIcon=True\r\n' > "$data/Settings.dat"
pad='                  '
printf 'Debian News%s{https://www.debian.org/News/}-2\r\n*Kernel Releases%s{https://www.kernel.org/}-2\r\nQt Blog%s{https://www.qt.io/blog}-2\r\n' \
    "$pad" "$pad" "$pad" > "$data/Sites.dat"

Xvfb "$display" -screen 0 640x400x24 >/dev/null 2>&1 &
pids="$pids $!"
sleep 1
export DISPLAY="$display"
trayer --edge bottom --align left --widthtype pixel --width 120 --heighttype pixel --height 32 \
    --tint 0xdddddd --transparent false >/dev/null 2>&1 &
pids="$pids $!"
sleep 1
XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb "$work/vendrel-shot" /start >/dev/null 2>&1 &
pids="$pids $!"
sleep 3

# A left click on the icon (bottom-left corner of the screen) opens the menu
# once the double-click time has passed; then point at "Deliver Site Now".
xdotool mousemove 12 372 click 1
sleep 1.2
xdotool mousemove 100 290
sleep 1.2
import -window root "$work/shot.png"
convert "$work/shot.png" -crop 400x200+0+200 +repage -fill '#3a6ea5' -draw 'color 0,0 floodfill' "$out"
echo "$out"
