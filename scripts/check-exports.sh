#!/usr/bin/env bash
# Checks that an add-in library defines no dynamic symbol but its entry point
# (the linker's own section markers aside). Local entries of the dynamic symbol
# table (lower-case types in nm's listing) are not exports and do not count.
set -euo pipefail
symbols=$(nm -D --defined-only "$1" | awk '$2 ~ /^[A-Z]$/ {print $3}' | grep -v -E '^(_edata|_end|__bss_start|_init|_fini)$' || true)
if [ "$symbols" != "INITEXPERT0017" ]; then
  echo "$1 exports more than INITEXPERT0017:"
  echo "$symbols"
  exit 1
fi
echo "$1 exports INITEXPERT0017 only"
