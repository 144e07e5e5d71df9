#!/usr/bin/env bash
# Sets everything up, then runs the installer against a demo feed served on
# 127.0.0.1: in a window when a display is available, in the terminal
# otherwise. Everything it installs goes into a throw-away HOME.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
build=$(cd "${ZEL_BUILD_DIR:-build}" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/webinstaller-demo.XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  if [ -n "${ZEL_DEMO_KEEP:-}" ]; then echo "demo: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The demo publisher signs its package; the bundle below carries its key.
openssl genpkey -algorithm ed25519 -out "$work/publisher-key.pem" 2>/dev/null
bash tools/demo/make-demo-package.sh --binary "$build/tools/demo/demo-product" --port "$port" \
  --key "$work/publisher-key.pem" "$work/www" >/dev/null
mv "$work/www/public-key.txt" "$work/public-key.txt"
python3 -m http.server --bind 127.0.0.1 --directory "$work/www" "$port" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do
  curl -fs -o /dev/null "http://127.0.0.1:$port/feed.json" && break
  sleep 0.1
done

# A copy of the application bundle whose feed is the demo feed.
cp -r "$build/WebInstaller.app" "$work/WebInstaller.app"
sed -i "s|<string>http://127.0.0.1:[0-9]*/feed.json</string>|<string>http://127.0.0.1:$port/feed.json</string>|" \
  "$work/WebInstaller.app/Info.plist"
sed -i "s|</dict>|\t<key>UPDATE_PUBLIC_KEY</key>\n\t<string>$(cat "$work/public-key.txt")</string>\n</dict>|" \
  "$work/WebInstaller.app/Info.plist"

mkdir -m 700 "$work/home" "$work/tmp"
args=()
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then args+=(--terminal); fi
echo "demo: feed at http://127.0.0.1:$port/feed.json, HOME=$work/home (set ZEL_DEMO_KEEP=1 to keep it and the log)"
env HOME="$work/home" TMPDIR="$work/tmp" \
  XDG_DATA_HOME="$work/home/.local/share" XDG_CACHE_HOME="$work/home/.cache" \
  XDG_CONFIG_HOME="$work/home/.config" XAUTHORITY="${XAUTHORITY:-$HOME/.Xauthority}" \
  ZEL_PACKAGE_INSTALLER="$build/tools/installer/installer" ZEL_DEMO_MARKER="$work/launched.txt" \
  "$work/WebInstaller.app/WebInstaller" "${args[@]}" 2>"$work/installer.log" || true

for _ in $(seq 100); do
  [ -s "$work/launched.txt" ] && break
  sleep 0.1
done
if [ -s "$work/launched.txt" ]; then
  if grep -q "Package verified: signed by the publisher" "$work/installer.log"; then
    echo "demo: the package's checksum and the publisher's signature were verified."
  fi
  echo "demo: Demo Product was installed in $work/home/Applications and launched."
else
  echo "demo: Demo Product was not launched. The installer's log:" >&2
  cat "$work/installer.log" >&2
  exit 1
fi
