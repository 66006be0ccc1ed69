#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the fuzz targets (clang and its runtime)
# and the demo need, when any is missing. prometheus gives the tests promtool, to check the
# metrics endpoint's output and the alerting rules; logrotate rotates the daemon log in its
# end-to-end test; man-db checks the manual pages; debhelper, dpkg-dev and lintian build and
# check the Debian package (tests/package_test.sh). systemd (systemd-analyze, systemd-sysusers,
# systemd-tmpfiles for tests/install_test.sh) is of priority "important", not essential: minimal
# Debian 12 systems and container images lack it.
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-format pkg-config libpq-dev libboost-dev libutfcpp-dev
  libgtest-dev googletest postgresql-15 postgresql-client-15 monitoring-plugins-basic
  libclang-rt-14-dev python3 systemd libsystemd-dev libmicrohttpd-dev prometheus curl logrotate
  man-db debhelper dpkg-dev lintian)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
