#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
    build-essential cmake ninja-build pkg-config libtsan2 \
    qtbase5-dev libqt5sql5-sqlite qttranslations5-l10n \
    libsqlite3-dev \
    libcurl4-openssl-dev libssl-dev zlib1g-dev libutfcpp-dev \
    libgtest-dev libbenchmark-dev libcpp-httplib-dev \
    clang libclang-rt-14-dev \
    util-linux file \
    fonts-noto-cjk \
    xvfb openbox xdotool imagemagick
