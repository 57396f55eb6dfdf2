#!/usr/bin/env bash
# Installs the Debian packages Vendrel needs to build, run and test, when any is missing.
set -euo pipefail

packages=(
  build-essential       # C++ compiler and make
  cmake                 # build system
  ninja-build           # fast build driver
  pkg-config            # finds libcurl, gumbo and PCRE2
  qt6-base-dev          # window, tray icon, timers (Qt 6 Widgets)
  libcurl4-openssl-dev  # page download over HTTP and HTTPS
  libgumbo-dev          # HTML5 parser the tokenizer tests compare against
  libpcre2-dev          # regular expressions: a site's text to ignore
  libssl-dev            # mail over TLS (STARTTLS, implicit TLS)
  libsecret-1-dev       # the mail password in the desktop's keyring (Secret Service)
  libgtest-dev          # unit tests
  libgmock-dev          # test doubles
  libbenchmark-dev      # benchmarks
  python3-aiosmtpd      # real SMTP server for end-to-end tests
  python3-lxml          # lxml and cssselect: what the watched-part selector
  python3-cssselect     #   tests compare against
  python3-webencodings  # the browsers' charset labels the mail's charset tests compare against
  openssl               # test certificates for the HTTPS and mail-over-TLS tests
  ca-certificates       # the system's certificate store for HTTPS and mail over TLS
  libglib2.0-bin        # gio: the desktop's launcher reads the start-up entry in tests
  xvfb                  # a virtual display for the tray icon tests
  trayer                # a notification area on that display
  xdotool               # clicks on the icon in those tests
  gnome-keyring         # a real Secret Service for the keyring tests
  dbus-bin              # dbus-run-session: the keyring tests' private session bus
  dbus-daemon           # the bus itself
  libsecret-tools       # secret-tool: the keyring tests read the password back with it
  openbox               # a window manager on that display for the window tests
  libx11-dev            # Xlib: those tests look at the program's windows
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
