#!/usr/bin/env bash
# `./make run`, `./make test`, ... for a fresh Debian 12 machine, where only bash is certain: installs
# what is missing (make among it) with scripts/install-deps.sh, then runs make with the same
# arguments. With make installed, `make run` and `make test` do the same.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")"

real_make() {
  local found
  found=$(type -P make || true)
  # A PATH holding "." would find this script again.
  [[ -n $found && $(realpath "$found") != "$self" ]] && echo "$found"
}

if ! make=$(real_make); then
  echo "make is not installed: installing what building the companion needs first."
  scripts/install-deps.sh
  make=$(real_make) || { echo "./make: make is still missing after installing it" >&2; exit 1; }
fi
exec "$make" "$@"
