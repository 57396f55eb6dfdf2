#!/usr/bin/env bash
# Runs a test program against a keyring of its own: meant to run inside
# `dbus-run-session`, it starts gnome-keyring's Secret Service on that private
# session bus, in a temporary home, unlocked, and stops it afterwards.
set -euo pipefail
home=$(mktemp -d)
daemon=
cleanup() {
  [ -n "$daemon" ] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT
# Under the sanitizers, the keyring library's own leaks are its own.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(cd "$(dirname "$0")" && pwd)/keyring.supp"
# No display: a locked keyring must fail at once, not wait on a prompt.
unset DISPLAY WAYLAND_DISPLAY
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
printf 'vendrel-test' | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
daemon=$!
for _ in $(seq 100); do
  if gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
       --method org.freedesktop.DBus.NameHasOwner org.freedesktop.secrets 2>/dev/null | grep -q true; then
    break
  fi
  sleep 0.1
done
"$@"
