#!/bin/sh
# Installs what building and testing kestrum needs on Debian or Ubuntu: with apt-get directly when
# run as root (containers often have no sudo), through sudo otherwise.
#   sh scripts/install_build_deps.sh [EXTRA_PACKAGE...]
set -eu
if [ "$(id -u)" = 0 ]; then
  as_root=""
elif command -v sudo > /dev/null 2>&1; then
  as_root="sudo"
else
  echo "install_build_deps.sh: run this as root, or install sudo" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# A list that fails to fetch (a mirror caught mid-sync, say) leaves the others usable: the install
# says whether what the build needs could be had.
$as_root apt-get update || echo "install_build_deps.sh: some package lists could not be fetched" >&2
$as_root apt-get install -y cmake make g++ libgtest-dev libjpeg62-turbo-dev "$@"
