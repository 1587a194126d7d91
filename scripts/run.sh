#!/usr/bin/env bash
# Starts the built companion. With no display (a server, CI, an SSH session) it starts a private
# Xvfb, runs the companion in snapshot mode there and prints where the picture was written.
set -euo pipefail
build=${1:-build}
exe="$build/src/app/quillo-companion"

if [[ -n "${DISPLAY:-}" ]]; then
  exec "$exe"
fi

out="$(pwd)/$build/snapshots"
mkdir -p "$out"
echo "No display: rendering the companion under Xvfb instead."
for expanded in 0 1; do
  name=$([[ $expanded == 1 ]] && echo expanded || echo collapsed)
  QUILLO_CAPTURE_PATH="$out/companion-$name.png" QUILLO_CAPTURE_EXPANDED=$expanded \
    QUILLO_KEEP_HOME=1 timeout 60 tests/with-desktop-session.sh "$(pwd)/$exe" || true
  if [[ -s "$out/companion-$name.png" ]]; then
    echo "Snapshot ($name): $out/companion-$name.png"
  else
    echo "The companion needs a display to be seen; no $name snapshot was written." >&2
  fi
done
