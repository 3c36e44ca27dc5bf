#!/usr/bin/env bash
# Installs every Debian package Vantry needs to build, test and run.
# Idempotent and non-interactive: it asks apt only for what is missing, and
# refreshes the package lists at most once per run.
#
# With --check it changes nothing: it names the packages a build needs that
# are missing and fails if there are any (what `make install` runs, as an
# installation must not change the system beyond the files it installs).
set -euo pipefail

# What a build of the programs needs.
build_packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  libsqlite3-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libqscintilla2-qt6-dev
  libcurl4-openssl-dev
  fpc-source-3.2.2
)
packages=(
  "${build_packages[@]}"
  libbenchmark-dev sqlite3 curl openssl
  python3 python3-aiosmtpd
  xvfb xauth
  fonts-liberation
  universal-ctags ripgrep
  # the editor whose built-in client drives the language server in the tests
  neovim
  # the compiler's own units and ppudump: the judge of the agreement benchmark
  fp-compiler-3.2.2 fp-utils-3.2.2 fp-units-rtl-3.2.2 fp-units-base-3.2.2 fp-units-fcl-3.2.2
  # Lazarus's sources and the LCL's compiled units for gtk2, the default
  # widgetset here: its second corpus and judge
  lazarus-src-2.2 lcl-units-2.2 lcl-gtk2-2.2
  locales
  dpkg-dev lintian desktop-file-utils man-db
)

if [ "${1:-}" = --check ]; then
  missing=()
  for p in "${build_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ "${#missing[@]}" -ne 0 ]; then
    echo "Building Vantry needs these packages, which are not installed: ${missing[*]}" >&2
    echo "Install them (sudo apt install ${missing[*]}) or run 'make build', which installs them." >&2
    exit 1
  fi
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi

if [ "${#missing[@]}" -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The sort tests compare the C collation with a German one.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  echo "setup: generating the locale de_DE.UTF-8"
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
