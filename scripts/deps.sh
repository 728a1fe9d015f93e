#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing,
# and any further packages named on the command line.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config ca-certificates openssl curl
  libssl-dev libcurl4-openssl-dev libproxy-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev
  tinyproxy microsocks squid-openssl nginx-light
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "missing packages (install them as root): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
