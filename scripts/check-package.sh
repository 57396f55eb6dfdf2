#!/usr/bin/env bash
# Checks the Debian package that `./build.sh package` made: lintian finds no
# error, it installs, its programs and documents answer from the installed
# files, the desktop files validate, and removing it leaves nothing behind.
set -euo pipefail
cd "$(dirname "$0")/.."

tools=(lintian desktop-file-utils appstream man-db)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

deb=$(ls -1t "${VENDREL_BUILD_DIR:-build}"/vendrel_*.deb | head -n 1)
echo "Checking $deb"

# Errors fail the check; warnings are listed for whoever reads the log.
report=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
echo "$report"
if echo "$report" | grep -q '^E: '; then
  echo "lintian reports errors" >&2
  exit 1
fi

# The keyring library is loaded only when used, so no tool adds it for us.
dpkg-deb -f "$deb" Recommends | grep -q 'libsecret-1-0' || { echo "the package does not recommend libsecret-1-0" >&2; exit 1; }

if dpkg-query -W -f='${Status}' vendrel 2>/dev/null | grep -q "install ok installed"; then
  echo "vendrel is already installed here; not touching it" >&2
  exit 1
fi
# The build already brought every library the package depends on.
dpkg -i "$deb"
removed=0
cleanup() { [ "$removed" = 1 ] || dpkg -r vendrel >/dev/null 2>&1 || true; }
trap cleanup EXIT

files=$(dpkg -L vendrel)
/usr/bin/vendrel-check --version
man -w vendrel-check
man -w vendrel
desktop-file-validate /usr/share/applications/Vendrel.desktop
appstreamcli validate --no-net /usr/share/metainfo/example.quorvan.Vendrel.metainfo.xml
test -f /usr/lib/systemd/user/vendrel-check.timer || test -f /lib/systemd/user/vendrel-check.timer
# The installed programs find their own files in share/vendrel.
test -f /usr/share/vendrel/Source.dat

dpkg -r vendrel
removed=1
left=()
while IFS= read -r path; do
  [ -f "$path" ] && left+=("$path")
done <<< "$files"
if dpkg-query -W -f='${Status}' vendrel 2>/dev/null | grep -q "install ok installed" || [ ${#left[@]} -gt 0 ]; then
  echo "removing vendrel left: ${left[*]}" >&2
  exit 1
fi
echo "package check passed"
