#!/usr/bin/env bash
# Installs what is missing, builds, starts the program.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
relvane_install_deps
relvane_build build
exec build/app/relvane "$@"
