#!/bin/sh
# Installs everything the build, the tests and the benchmarks need on Debian 12.
set -eu
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
PACKAGES="cmake ninja-build g++ pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6svg6 qt6-image-formats-plugins libqt6sql6-sqlite
  libtiff-dev libtiff-tools libpng-dev libsane-dev libsane1 sane-utils
  libpoppler-qt6-dev libpoppler-private-dev libgmime-3.0-dev dbus-daemon dbus-bin xdg-utils fonts-dejavu-core
  libgtest-dev libbenchmark-dev clang libclang-rt-14-dev ghostscript dovecot-imapd openssl libetpan-dev libgnutls28-dev ca-certificates
  xvfb xauth x11-utils openbox at-spi2-core
  desktop-file-utils appstream dpkg-dev man-db
  qt6-l10n-tools qt6-translations-l10n
  hylafax-server hylafax-client iaxmodem cups cups-client cups-bsd cups-filters"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
