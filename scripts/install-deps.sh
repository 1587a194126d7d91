#!/usr/bin/env bash
# Installs exactly what building, running and testing the companion needs on Debian 12.
# Idempotent: packages already present are not fetched again, so `make run` stays quick.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev clang-format
  libgtk-3-dev libgdk-pixbuf2.0-bin libwebkit2gtk-4.1-dev libsecret-1-dev libcurl4-gnutls-dev libcurl3-gnutls
  nlohmann-json3-dev libicu-dev libayatana-appindicator3-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth x11-utils xdotool gnome-keyring dbus dbus-x11 libsecret-tools
  at-spi2-core python3-gi gir1.2-atspi-2.0
  fonts-noto-cjk librsvg2-common nodejs npm python3
  appstream bubblewrap desktop-file-utils dpkg-dev file lintian locales
  xfwm4 openbox picom mutter xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# node and npm may come from outside Debian on a developer machine; accept them when present.
if command -v node >/dev/null && command -v npm >/dev/null; then
  kept=(); for p in "${missing[@]}"; do [[ $p == nodejs || $p == npm ]] || kept+=("$p"); done
  missing=("${kept[@]}")
fi

# The companion links libcurl's GnuTLS flavour (libcurl3-gnutls) whichever libcurl development
# package provides the headers, which are the same in all of them; another one already installed
# for other work stays.
if dpkg-query -W -f='${Status}' libcurl4-openssl-dev libcurl4-nss-dev 2>/dev/null |
   grep -q 'install ok installed'; then
  kept=(); for p in "${missing[@]}"; do [[ $p == libcurl4-gnutls-dev ]] || kept+=("$p"); done
  missing=("${kept[@]}")
fi

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=(); [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  if ((${#sudo_cmd[@]})) && ! command -v sudo >/dev/null; then
    echo "install-deps: installing packages needs root: run this as root, or install sudo" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Another apt run (an unattended upgrade, a second checkout installing) holds the lock for a
  # while; wait for it instead of failing.
  apt=(apt-get -o DPkg::Lock::Timeout=900)
  "${sudo_cmd[@]}" "${apt[@]}" update -qq
  "${sudo_cmd[@]}" "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi

# The page's third-party scripts, pinned by package-lock.json.
cd "$(dirname "$0")/.."
if [[ ! -f node_modules/.package-lock.json || package-lock.json -nt node_modules/.package-lock.json ]]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
