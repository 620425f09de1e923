#!/usr/bin/env bash
# Installs what building, running and testing Brevora needs on Debian (bookworm), when missing.
set -euo pipefail
packages=(g++ cmake ninja-build qt6-base-dev libqt6sql6-sqlite libssl-dev openssl
          googletest libgtest-dev libgmock-dev python3-aiosmtpd sqlite3 fonts-dejavu-core fonts-noto-cjk iproute2
          clang libclang-rt-14-dev shared-mime-info libqt6sql6-psql postgresql
          qtkeychain-qt6-dev gnome-keyring dbus-daemon libsecret-tools
          libcurl4-openssl-dev libgmime-3.0-dev pkg-config dovecot-imapd dovecot-pop3d postfix python3-dkim
          libpsl-dev dnsmasq-base opendkim-tools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # Postfix serves the tests' own throw-away instances only: the package sets up no system mail.
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo_cmd debconf-set-selections 2>/dev/null || true
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
