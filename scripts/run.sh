#!/usr/bin/env bash
# Runs what the build produced. Until the reference IDE exists this lists the
# programs built and shows the registry tool's help.
set -euo pipefail
build=${1:-build}
echo "Built:"
find "$build" -maxdepth 3 -type f -executable \( -name 'vantry-*' -o -name '*_bench' -o -name '*.so' \) | sort | sed 's/^/  /'
echo
"$build/tools/vantry-reg/vantry-reg" --help
