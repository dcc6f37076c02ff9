#!/usr/bin/env bash
# Installs the build into a fresh prefix and unpacks its Debian package into a fresh folder,
# then runs each installed velm-export against the installed velm-server, as a user would:
# no LD_LIBRARY_PATH, HOME and the XDG folders inside the work folder.
set -euo pipefail
build="$1"
work="$2"
rm -rf "$work"
mkdir -p "$work"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share" \
  XDG_CACHE_HOME="$work/home/.cache" XDG_RUNTIME_DIR="$work/run" XDG_DESKTOP_DIR="$work/home/Desktop"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset LD_LIBRARY_PATH DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY

cmake --install "$build" --prefix "$work/prefix" >/dev/null
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb="$(ls "$work"/package/velm-uploader_*.deb)"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || { echo "the package declares no dependencies"; exit 1; }
dpkg-deb -x "$deb" "$work/unpacked"

server=""
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true; }
trap cleanup EXIT

for root in "$work/prefix" "$work/unpacked/usr"; do
  for f in bin/velm-export bin/velm-server lib/velm/Velm.bundle/Contents/Linux/Velm.so \
           share/man/man1/velm-export.1 share/bash-completion/completions/velm-export; do
    [ -e "$root/$f" ] || { echo "not installed: $root/$f"; exit 1; }
  done
  data="$work/data-$(basename "$root")"
  printf 'secret\n' | "$root/bin/velm-server" --data "$data" add-user anna >/dev/null
  "$root/bin/velm-server" --data "$data" --listen 127.0.0.1:0 >"$data.out" 2>"$data.err" &
  server=$!
  # The first line names the address; wait for it.
  while ! grep -q '^listening on ' "$data.out"; do
    kill -0 "$server" 2>/dev/null || { cat "$data.err"; exit 1; }
    sleep 0.1
  done
  url="$(sed -n 's/^listening on //p' "$data.out")"
  photos="$work/photos-$(basename "$root")"
  mkdir -p "$photos"
  cp "$(dirname "$0")/../../samples/Beach.jpg" "$photos/"
  out="$(printf 'secret\n' | "$root/bin/velm-export" --service "$url" --account anna --password-stdin "$photos/Beach.jpg")"
  echo "$out"
  grep -q "^Beach: $url/photo/" <<<"$out" || { echo "no page from $root/bin/velm-export"; exit 1; }
  grep -q '^1 uploaded, 0 failed, 0 not exported$' <<<"$out"
  kill "$server"
  wait "$server" || true
  server=""
done
echo "installed programs run"
