#!/usr/bin/env bash
# Starts the reference IDE with the Vantry add-in over the Free Pascal sources.
#
# The IDE records its own folder as the installation root (RootDir) on its
# first start, unless one is set already; a "Source" link in that folder to
# Debian's Free Pascal source tree is what the add-in's automatic mode then
# finds. Without a display the IDE runs under Xvfb: it prints its menu tree
# and saves screenshots, and says where.
set -euo pipefail
build=${1:-build}
host="$build/host/vantry-host"
addin="$build/src/vantry.so"

fpc_source=$(dpkg -L fpc-source-3.2.2 | grep -E '/fpcsrc/[0-9.]+$' | head -n 1)
if [ ! -e "$build/host/Source" ]; then
  ln -s "$fpc_source" "$build/host/Source"
fi

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$host" --expert "$addin"
fi

out=.run
mkdir -p "$out"
xvfb-run -a -s "-screen 0 1280x1024x24" "$host" --expert "$addin" --dump-menu > "$out/menu.txt"
objpas=$(grep -m 1 '"objpas"' "$out/menu.txt" | awk '{print $1}')
xvfb-run -a -s "-screen 0 1280x1024x24" "$host" --expert "$addin" \
  --screenshot "$out/vantry-menu.png" --open-menu "${objpas:-ovsVantryMenuItem}" 2>/dev/null
xvfb-run -a -s "-screen 0 1280x1024x24" "$host" --expert "$addin" \
  --screenshot "$out/file-menu.png" --open-menu FileSaveItem 2>/dev/null
xvfb-run -a -s "-screen 0 1280x1024x24" "$host" --expert "$addin" \
  --screenshot "$out/search-menu.png" --open-menu VantryFindLibraryUnitMenuItem 2>/dev/null
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tools/finder-shot/finder-shot" "$addin" "$fpc_source" sysu \
  "$out/finder.png" "$fpc_source/rtl/unix/classes.pp" 2>/dev/null
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tools/finder-shot/finder-shot" --declarations "$addin" "$fpc_source" \
  TStringList.So "$out/declarations.png" "$fpc_source/rtl/objpas/classes/classes.inc" 2>/dev/null

echo "No display: the IDE ran under Xvfb with Vantry over $fpc_source."
echo "The start of its menu tree ($(wc -l < "$out/menu.txt") items in all, in $out/menu.txt):"
head -n 20 "$out/menu.txt"
echo "..."
echo "Screenshots: $out/vantry-menu.png (the Vantry menu open), $out/file-menu.png (the File menu),"
echo "$out/search-menu.png (the Search menu with the library finder's items), $out/finder.png (the finder)"
echo "and $out/declarations.png (the finder over the declarations)."
echo "The Search menu:"
grep -A 7 '^SearchMenu' "$out/menu.txt"
echo "Run 'make run' where there is a display to use the IDE."
