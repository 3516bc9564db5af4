#!/bin/sh
# Installs what the updater's end-to-end test needs on a Debian machine: Wine (64-bit),
# a virtual X server, a Japanese font, the ja_JP.UTF-8 locale and ImageMagick for screenshots.
# Run as root. Safe to run again.
set -eu

sh "$(dirname "$0")/apt-install-missing.sh" wine wine64 fonts-wine xvfb fonts-ipafont-gothic locales imagemagick

if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  if ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  fi
  locale-gen
fi
