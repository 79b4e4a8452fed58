#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need,
# only those that are missing. Sourced by run.sh and test.sh.
set -euo pipefail

RELVANE_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-translations-l10n zlib1g-dev libdeflate-dev libssl-dev libxxhash-dev
  libgtest-dev libgmock-dev
  fonts-ipafont-gothic fonts-ipafont-mincho
  # network namespaces for the discovery tests
  iproute2
  # icons, manual pages, menu entry and metadata checks, the Debian package
  librsvg2-bin help2man desktop-file-utils appstream dpkg-dev file
)

relvane_install_deps() {
  local missing=()
  local p
  for p in "${RELVANE_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures (once) and builds incrementally. $1 = build folder, rest = cmake -D options.
relvane_build() {
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "$@"
  fi
  cmake --build "$dir" -j2
}
