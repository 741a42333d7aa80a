#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and the benchmarks need.
# Safe to run again: packages already present are left as they are.
set -euo pipefail

packages=(
  # build tools
  build-essential cmake ninja-build g++ clang pkg-config
  # libraries
  qt6-base-dev zlib1g-dev libxml2-dev libssl-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev libarchive-dev
  # real peers for tests: web server, independent 7z/LZMA producers, TLS tools, curl for comparisons
  nginx libarchive-tools xz-utils openssl curl
  # the window under a virtual display
  xvfb xauth xdotool imagemagick fonts-wqy-microhei
  # the demo update server's add-on set generator and other scripts
  python3
  # file extension to MIME type
  shared-mime-info
  # web page archiving: a real browser judges saved pages; libxml2's xmllint and wget to compare
  chromium libxml2-utils wget
  # cookies: public suffix list and its library
  libpsl-dev publicsuffix
  # proxies for tests (HTTP with Basic/Digest/NTLM, SOCKS5 without and with a password)
  squid dante-server microsocks
  # PAC scripts (QJSEngine), GNOME proxy settings read headless in tests
  qt6-declarative-dev libglib2.0-bin dconf-gsettings-backend gsettings-desktop-schemas dbus-daemon
  # peak memory in the upload benchmark (/usr/bin/time -v)
  time
  # the object store of the cloud storage tests (S3 and token-auth protocols) and its own client
  swift swift-proxy swift-object swift-container swift-account memcached python3-swiftclient
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
