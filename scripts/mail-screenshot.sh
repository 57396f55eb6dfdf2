#!/bin/sh
# Takes docs/mail-changes.png: a page delivered twice by vendrel-check from a
# build in ./build, through the tests' SMTP server (aiosmtpd), the second time
# with what changed; its HTML part as a reader's mail program shows it,
# rendered by headless Chromium (Debian's chromium, not a build dependency).
set -eu
cd "$(dirname "$0")/.."
root=$(mktemp -d)
trap 'kill $http $smtp 2>/dev/null || true; rm -rf "$root"' EXIT
mkdir -p "$root/site" "$root/mail" "$root/data/Quorvan/Vendrel"

page() { # $1: the story list, $2: the price
  cat > "$root/site/index.html" <<EOF
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Harbour Town News</title>
<style>body{font-family:Georgia,serif;margin:24px;max-width:640px} h1{color:#1d3b5a} .price{font-weight:bold}</style>
</head><body>
<h1>Harbour Town News</h1>
<p>Your weekly look at what happens by the water.</p>
<h2>This week</h2>
<ul>$1</ul>
<h2>Ferry fares</h2>
<p>A return ticket to the island costs <span class="price">$2</span> from Monday.</p>
<p><a href="archive.html">Older stories</a> &middot; <a href="about.html">About us</a></p>
</body></html>
EOF
}

page "<li>The lighthouse opens for visitors on Saturday.</li><li>Fish market moves to the north quay.</li>" "EUR 12.50"
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$root/site" > "$root/http.log" 2>&1 &
http=$!
/usr/bin/python3 tests/fixtures/smtp_server.py --out "$root/mail" --no-auth > "$root/smtp.port" &
smtp=$!
for _ in $(seq 50); do
  grep -q port "$root/http.log" && [ -s "$root/smtp.port" ] && break
  sleep 0.2
done
http_port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$root/http.log" | head -n 1)
smtp_port=$(head -n 1 "$root/smtp.port")
printf '[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=%s\r\n[Settings]\r\nDestEmail=me@example.org\r\nActiveNetConnection=False\r\nMarkChanges=True\r\n' \
  "$smtp_port" > "$root/data/Quorvan/Vendrel/Settings.dat"
printf 'Harbour Town News                  {http://127.0.0.1:%s/index.html}0\r\n' "$http_port" \
  > "$root/data/Quorvan/Vendrel/Sites.dat"
XDG_DATA_HOME="$root/data" build/vendrel-check
# The second check asks with the first answer's Last-Modified, which counts
# whole seconds: a page changed within the same second would be "not modified".
sleep 1
page "<li>The lighthouse opens for visitors on Saturday and Sunday.</li><li>A new bakery opens by the ferry.</li>" "EUR 14.00"
XDG_DATA_HOME="$root/data" build/vendrel-check
sleep 1
last=$(ls "$root/mail"/*.eml | tail -n 1)
/usr/bin/python3 tests/fixtures/mail_parts.py "$last" "$root/parts"
cp "$root/parts/2.text_html" "$root/mail.html"
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=760,640 \
  --screenshot="$PWD/docs/mail-changes.png" "file://$root/mail.html"
