#!/usr/bin/env bash
# Runs a command inside a throwaway desktop session: its own Xvfb display, D-Bus session bus and
# unlocked GNOME Keyring, with home folders in a temporary place. Tests meet real parts this way
# without touching the user's own session, keyring or settings.
#
# Options before the command: --window-manager "COMMAND ARGS" (repeatable) starts a window manager
# (or a compositor) on the display and waits for it; --xorg runs an Xorg server with sixteen
# dummy RandR outputs (tests/support/xorg-dummy.conf) instead of Xvfb, for tests of several real
# monitors. Xorg with a configuration of its own needs root: without it the run ends with 77
# (skipped).
set -euo pipefail

if [[ "${QUILLO_SESSION_BUS:-}" != 1 ]]; then
  export QUILLO_SESSION_BUS=1
  exec dbus-run-session -- "$0" "$@"
fi

server=xvfb managers=()
while (($#)); do
  case $1 in
    --xorg) server=xorg; shift ;;
    --window-manager) managers+=("$2"); shift 2 ;;
    *) break ;;
  esac
done
if [[ $server == xorg && $(id -u) -ne 0 ]]; then
  echo "with-desktop-session: Xorg with the tests' own configuration needs root; skipped" >&2
  exit 77
fi

session=$(mktemp -d /tmp/quillo-session-XXXXXX)
manager_pids=()
cleanup() {
  for pid in "${manager_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [[ -n "${xvfb_pid:-}" ]] && kill "$xvfb_pid" 2>/dev/null || true
  [[ -n "${keyring_pid:-}" ]] && kill "$keyring_pid" 2>/dev/null || true
  rm -rf "$session"
}
trap cleanup EXIT

# QUILLO_KEEP_HOME=1 keeps the user's own folders (to show their diary in a snapshot); the
# keyring then still lives in the throwaway session folder.
if [[ "${QUILLO_KEEP_HOME:-}" != 1 ]]; then
  export HOME="$session/home" XDG_CONFIG_HOME="$session/config" XDG_CACHE_HOME="$session/cache"
  mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"
fi
[[ "${QUILLO_KEEP_HOME:-}" == 1 ]] || export XDG_DATA_HOME="$session/data"
export XDG_RUNTIME_DIR="$session/runtime"
mkdir -p "$session/data" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# The X server picks a free display number itself and writes it to the given descriptor.
if [[ $server == xorg ]]; then
  Xorg -config "$(dirname "$0")/support/xorg-dummy.conf" -logfile "$session/xorg.log" -noreset \
    -nolisten tcp -novtswitch -sharevts -displayfd 3 3>"$session/display" >/dev/null 2>&1 &
else
  Xvfb -displayfd 3 -screen 0 1600x900x24 -nolisten tcp 3>"$session/display" >/dev/null 2>&1 &
fi
xvfb_pid=$!
for _ in $(seq 100); do [[ -s "$session/display" ]] && break; sleep 0.05; done
[[ -s "$session/display" ]] || { echo "with-desktop-session: $server did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$session/display")"
unset WAYLAND_DISPLAY
# Services the bus starts on demand (the accessibility bus among them) would otherwise keep the
# folders the bus was started with: the user's own, shared by every session running at once.
dbus-update-activation-environment HOME XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME \
  XDG_RUNTIME_DIR DISPLAY 2>/dev/null || true

for manager in "${managers[@]}"; do
  $manager >/dev/null 2>&1 &
  manager_pids+=($!)
done
if ((${#managers[@]})); then
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
fi

# A login keyring unlocked with a throwaway password, serving the Secret Service on this bus.
# Its files always stay in the session folder, never in the user's own data folder.
eval "$(printf 'quillo-test' | XDG_DATA_HOME="$session/data" \
  gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)" || true
keyring_pid=${GNOME_KEYRING_PID:-}

export GTK_A11Y=none NO_AT_BRIDGE=1
"$@"
