#!/bin/bash
# Builds the demo product's package and the feed that offers it.
#
#   make-demo-package.sh [--binary PATH] [--port PORT] [--key KEY.pem] OUTDIR [VERSION]
#
# Writes OUTDIR/DemoProduct.pkg (a gzip-compressed tar holding
# "Demo Product.app") and OUTDIR/feed.json, whose installUrl points at
# http://127.0.0.1:PORT/DemoProduct.pkg (PORT defaults to 8000). The
# demo-product binary is taken from --binary, else $ZEL_DEMO_BINARY, else
# the first build directory next to the sources that has one. With --key (an
# Ed25519 private key in PEM, as `openssl genpkey -algorithm ed25519` makes),
# the feed carries the package's "sha256" and its "signature", and
# OUTDIR/public-key.txt holds the base64 public key for the installer's
# UPDATE_PUBLIC_KEY.
set -euo pipefail

usage() {
    echo "usage: $0 [--binary PATH] [--port PORT] [--key KEY.pem] OUTDIR [VERSION]" >&2
    exit 2
}

binary="${ZEL_DEMO_BINARY:-}"
port=8000
key=
positional=()
while [ $# -gt 0 ]; do
    case "$1" in
        --binary) [ $# -ge 2 ] || usage; binary="$2"; shift 2 ;;
        --port) [ $# -ge 2 ] || usage; port="$2"; shift 2 ;;
        --key) [ $# -ge 2 ] || usage; key="$2"; shift 2 ;;
        -h|--help) usage ;;
        -*) usage ;;
        *) positional+=("$1"); shift ;;
    esac
done
[ ${#positional[@]} -ge 1 ] && [ ${#positional[@]} -le 2 ] || usage
outdir="${positional[0]}"
version="${positional[1]:-1.0}"

case "$port" in
    ''|*[!0-9]*) echo "$0: the port must be a number: $port" >&2; exit 2 ;;
esac
# The version goes into XML and JSON unescaped, so it is kept plain.
case "$version" in
    ''|*[!0-9A-Za-z.+_-]*) echo "$0: unusable version: $version" >&2; exit 2 ;;
esac

if [ -z "$binary" ]; then
    source_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
    for candidate in "$source_root"/build/tools/demo/demo-product \
                     "$source_root"/build*/tools/demo/demo-product \
                     "$source_root"/../build*/tools/demo/demo-product; do
        if [ -x "$candidate" ]; then binary="$candidate"; break; fi
    done
fi
if [ -z "$binary" ] || [ ! -x "$binary" ]; then
    echo "$0: no demo-product binary found; build the demo-product target or pass --binary" >&2
    exit 1
fi

mkdir -p "$outdir"
staging="$(mktemp -d "${TMPDIR:-/tmp}/demo-package.XXXXXX")"
trap 'rm -rf "$staging"' EXIT

app="$staging/Demo Product.app"
mkdir -p "$app"
install -m 0755 "$binary" "$app/demo-product"

cat > "$app/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>com.example.demoproduct</string>
	<key>CFBundleExecutable</key>
	<string>demo-product</string>
	<key>CFBundleName</key>
	<string>Demo Product</string>
	<key>CFBundleShortVersionString</key>
	<string>$version</string>
	<key>CFBundleIconFile</key>
	<string>icon.svg</string>
</dict>
</plist>
PLIST

cat > "$app/icon.svg" <<'SVG'
<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <rect x="4" y="4" width="56" height="56" rx="12" fill="#2f6fd6"/>
  <path d="M20 34 l8 8 l16 -20" stroke="#fff" stroke-width="6" fill="none" stroke-linecap="round"/>
</svg>
SVG
chmod 0644 "$app/Info.plist" "$app/icon.svg"

tar -C "$staging" --owner=0 --group=0 --numeric-owner --sort=name \
    -czf "$outdir/DemoProduct.pkg.tmp" "Demo Product.app"
mv -f "$outdir/DemoProduct.pkg.tmp" "$outdir/DemoProduct.pkg"

# The publisher's word on the package: its checksum, and its signature.
integrity=
if [ -n "$key" ]; then
    sha256=$(sha256sum "$outdir/DemoProduct.pkg" | cut -d' ' -f1)
    signature=$(openssl pkeyutl -sign -rawin -inkey "$key" -in "$outdir/DemoProduct.pkg" | base64 -w0)
    # The raw 32-byte key is the end of its DER form.
    openssl pkey -in "$key" -pubout -outform DER | tail -c 32 | base64 -w0 > "$outdir/public-key.txt"
    integrity="\"sha256\": \"$sha256\", \"signature\": \"$signature\","
fi

# The web installer reads the "darwin" entry; the "linux" one is there to
# show that another platform's entry is left alone.
cat > "$outdir/feed.json.tmp" <<JSON
{
  "platforms": {
    "darwin": {
      "version": "$version",
      "product": "Demo Product",
      "bundleId": "com.example.demoproduct",
      "installUrl": "http://127.0.0.1:$port/DemoProduct.pkg", $integrity
      "options": {"autoLaunch": true, "displayVersion": true}
    },
    "linux": {
      "version": "0.0.1",
      "product": "Demo Product (other platform)",
      "bundleId": "com.example.demoproduct.other",
      "installUrl": "http://127.0.0.1:$port/not-for-this-platform.pkg",
      "options": {"autoLaunch": false, "displayVersion": false}
    }
  }
}
JSON
mv -f "$outdir/feed.json.tmp" "$outdir/feed.json"
echo "$outdir/DemoProduct.pkg"
echo "$outdir/feed.json"
