#!/usr/bin/env bash
# Builds the Debian packages from a build tree and checks them: lintian finds no error,
# the desktop entry and the AppStream file validate, and the packages unpacked into a
# temporary root start from there. With KEEP_DIR, the checked packages are left there.
# Usage: check_packages.sh BUILD_DIR [KEEP_DIR]
set -euo pipefail
build="$1"
keep="${2:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
app="$(ls "$work"/out/nimbrella_*.deb)"
server="$(ls "$work"/out/nimbrella-devserver_*.deb)"

lintian --fail-on error --tag-display-limit 0 "$app" "$server" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error "$app" "$server" >/dev/null 2>&1 || { echo "lintian reports errors"; exit 1; }

root="$work/root"
dpkg-deb -x "$app" "$root"
dpkg-deb -x "$server" "$root"
desktop-file-validate "$root/usr/share/applications/app.nimbrella.Nimbrella.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/app.nimbrella.Nimbrella.metainfo.xml"

# The program finds its Info.json in share/nimbrella from its own path.
shown="$(sed -n 's/.*"CFBundleShortVersionString": *"\([^"]*\)".*/\1/p' "$root/usr/share/nimbrella/Info.json")"
build_number="$(sed -n 's/.*"CFBundleVersion": *"\([^"]*\)".*/\1/p' "$root/usr/share/nimbrella/Info.json")"
version="$("$root/usr/bin/nimbrella" --version)"
[ "$version" = "Nimbrella $shown ($build_number)" ] || { echo "--version printed '$version'"; exit 1; }

# Exec and TryExec name a program that the package installs on PATH.
for key in Exec TryExec; do
  program="$(sed -n "s/^$key=\([^ ]*\).*/\1/p" "$root/usr/share/applications/app.nimbrella.Nimbrella.desktop")"
  PATH="$root/usr/bin" command -v "$program" >/dev/null || { echo "$key=$program does not resolve"; exit 1; }
done
for size in 16 22 24 32 48 64 128 256 512; do
  [ -s "$root/usr/share/icons/hicolor/${size}x${size}/apps/app.nimbrella.Nimbrella.png" ] || { echo "no ${size}px icon"; exit 1; }
done

# The development server starts with its bundled campaigns.
"$root/usr/bin/nimbrella-devserver" --port 0 --db :memory: >"$work/server.log" 2>&1 &
pid=$!
for _ in $(seq 50); do
  grep -q "listening on" "$work/server.log" && break
  sleep 0.1
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
grep -q "listening on" "$work/server.log" || { cat "$work/server.log"; exit 1; }
if [ -n "$keep" ]; then
  rm -rf "$keep" && mkdir -p "$keep" && cp "$app" "$server" "$keep/"
fi
echo "packages: $(basename "$app") $(basename "$server") pass"
