#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages the build, the tests and the demo need,
# and the packages named as arguments (scripts/cross-test.sh adds a cross
# compiler and qemu), only those that are missing. Run as root.
#
# Recommended packages are not installed, so every package whose modules or
# programs something here imports or runs is named below, even where Debian
# would have brought it along: pymodbus's server and client import serial and
# serial_asyncio; the tools parse their options with CLI11 and get their man
# pages from help2man; the Debian packages take their dependencies from
# dpkg-shlibdeps (dpkg-dev), which CPack feeds through file.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libmodbus-dev rapidjson-dev libssl-dev openssl libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libcli11-dev help2man dpkg-dev file
  python3 python3-pymodbus python3-serial python3-serial-asyncio mbpoll socat
  locales libc-l10n tmux
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages and not root: run as root, or install them: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# French locales for the tests of C library texts under a host's locale
# (they skip when these are missing).
for loc in fr_FR.UTF-8:UTF-8 fr_FR.ISO-8859-1:ISO-8859-1; do
  name=${loc%%:*}
  if ! locale -a 2>/dev/null | grep -qix "$(echo "${name}" | sed 's/-//g')"; then
    if [ "$(id -u)" -eq 0 ]; then
      echo "== generating locale ${name}"
      localedef -i fr_FR -f "${loc##*:}" "${name}" || echo "could not generate ${name}" >&2
    fi
  fi
done
