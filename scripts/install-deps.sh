#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the tools need.
# Idempotent: prints nothing and touches nothing when everything is present.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    fst-dev libconcurrentqueue-dev nlohmann-json3-dev
    zlib1g-dev libssl-dev uuid-dev libzip-dev libsqlite3-dev
    libcairo2-dev libx11-dev fonts-dejavu-core xvfb
    libsndfile1-dev libfftw3-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    binutils python3 locales
    clang libclang-rt-14-dev
    amsynth
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
