#!/usr/bin/env bash
# The IDE as a user meets it once it is installed: from `cmake --install` into
# a temporary DESTDIR ("install"), or from the Debian package unpacked into a
# temporary folder ("package"). Each tree is started headless, with no
# --expert, for a fresh user in a clean environment: it must list the Vantry
# experts and show the Free Pascal sources in its Vantry menu.
#
# usage: check-installation.sh install|package BUILD_DIR TEST_ADDIN
set -euo pipefail
mode=$1 build=$2 test_addin=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs an installed program for a user with nothing set up yet.
run() {
  env -i HOME="$tmp/home" PATH=/usr/bin:/bin XDG_CACHE_HOME="$tmp/home/.cache" QT_QPA_PLATFORM=offscreen \
    ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} "$@"
}

# The checks every installed tree must pass; $1 is its PREFIX folder.
check_tree() {
  local tree=$1
  rm -rf "$tmp/home" && mkdir -p "$tmp/home"
  # Before the IDE has ever run, vantry-find uses the IDE's default folder.
  run "$tree/bin/vantry-find" --units sysutils > "$tmp/found" 2> "$tmp/errors" || fail "vantry-find failed for a new user: $(cat "$tmp/errors")"
  grep -q "^$tree/lib/vantry/Source/.*sysutils" "$tmp/found" || fail "vantry-find does not search the installation's Source folder"
  run "$tree/bin/vantry-host" --list-experts > "$tmp/experts" 2> "$tmp/errors" || fail "vantry-host --list-experts failed: $(cat "$tmp/errors")"
  for id in "Brask.Orvalle Vantry" "Brask.Vantry Library Finder"; do
    [ "$(grep -c "ID String: $id\$" "$tmp/experts")" = 1 ] || fail "the installed IDE does not list $id once"
  done
  run "$tree/bin/vantry-host" --dump-menu > "$tmp/menu" 2> /dev/null
  grep -Eq '^    ovsVantryMenuItem_D[0-9]+ "rtl"$' "$tmp/menu" || fail "the Vantry menu does not show the Free Pascal sources"
  # A user who ran another copy before (a build tree, a copy since moved)
  # gets this copy's sources, not the other's.
  run "$tree/bin/vantry-reg" --machine set 'SOFTWARE\BORLAND\DELPHI\3.0' RootDir --string "$tmp/gone"
  run "$tree/bin/vantry-host" --dump-menu > "$tmp/menu" 2> /dev/null
  grep -Eq '^    ovsVantryMenuItem_D[0-9]+ "rtl"$' "$tmp/menu" || fail "after another copy ran, the Vantry menu does not show this copy's sources"
  # Programs and libraries go in stripped, as the package has them; the
  # package's are hardened as Debian builds its own: the stack protector in
  # each, read-only relocations bound at load.
  for binary in "$tree"/bin/vantry-* "$tree"/lib/vantry/lib/*.so "$tree"/lib/vantry/experts/vantry.so; do
    # Read whole before grep looks: an early grep would cut readelf's output short.
    sections=$(readelf -S -W "$binary") symbols=$(readelf --dyn-syms -W "$binary") dynamic=$(readelf -d -W "$binary")
    if grep -q ' \.symtab ' <<< "$sections"; then fail "$(basename "$binary") is not stripped"; fi
    [ "$mode" = package ] || continue
    # (The host interface library has no function that holds an array.)
    [[ $binary == *.so && $binary != */vantry.so ]] || grep -q '__stack_chk_fail' <<< "$symbols" ||
      fail "$(basename "$binary") has no stack protector"
    grep -q 'BIND_NOW\|FLAGS.*NOW' <<< "$dynamic" || fail "$(basename "$binary") is not linked with -z now"
  done
  # Every program answers --version.
  for program in vantry-host vantry-reg vantry-sendmail vantry-find vantry-lsp; do
    run "$tree/bin/$program" --version | grep -q "^$program 1\." || fail "$program does not answer --version"
  done
  desktop-file-validate "$tree/share/applications/vantry.desktop"
  grep -qx 'Exec=vantry-host %F' "$tree/share/applications/vantry.desktop" || fail "the desktop entry does not pass files"
  for size in 48 256; do
    [ -s "$tree/share/icons/hicolor/${size}x${size}/apps/vantry.png" ] || fail "no ${size}x${size} icon"
  done
  # Each program has a manual page, and the page names every option --help does.
  for program in vantry-host vantry-reg vantry-sendmail vantry-find vantry-lsp; do
    local page="$tree/share/man/man1/$program.1.gz"
    [ -s "$page" ] || fail "no manual page for $program"
    MANWIDTH=200 man -l "$page" 2> /dev/null | sed 's/‐/-/g' > "$tmp/page"
    for option in $(run "$tree/bin/$program" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
      grep -q -- "$option" "$tmp/page" || fail "the manual page of $program does not name $option"
    done
  done
}

case $mode in
  install)
    # As a user installs it; the build is there already, so nothing is built.
    make -s -C "$(dirname "$0")/../.." install BUILD="$build" DESTDIR="$tmp/stage" PREFIX=/usr > /dev/null
    tree="$tmp/stage/usr"
    check_tree "$tree"
    # The add-in folder: a library there loads, a bad file there is reported
    # and the IDE goes on, and a library named again in the Experts key loads once.
    cp "$test_addin" "$tree/lib/vantry/experts/"
    echo "not a library" > "$tree/lib/vantry/experts/broken.so"
    rm -rf "$tmp/home" && mkdir -p "$tmp/home"
    run "$tree/bin/vantry-reg" set 'Software\Borland\Delphi\3.0\Experts' Vantry --string "$tree/lib/vantry/experts/vantry.so"
    run "$tree/bin/vantry-host" --list-experts > "$tmp/experts" 2> "$tmp/errors"
    grep -q "ID String: Tester.Test Add-in$" "$tmp/experts" || fail "the test add-in in the add-in folder did not load"
    grep -q "broken.so was not loaded: it is not a shared library" "$tmp/errors" || fail "the bad file was not reported"
    [ "$(grep -c "ID String: Brask.Orvalle Vantry$" "$tmp/experts")" = 1 ] || fail "a library named twice loaded twice"
    ;;
  package)
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/package" > /dev/null
    deb=$(ls "$tmp"/package/vantry_*.deb)
    lintian --fail-on error --suppress-tags-from-file /dev/null "$deb" 2>&1 | grep -v 'root privileges' || true
    lintian --fail-on error "$deb" > /dev/null 2>&1 || fail "lintian reports errors on $(basename "$deb")"
    echo "$(basename "$deb"): $(stat -c %s "$deb") bytes; Depends: $(dpkg-deb -f "$deb" Depends)"
    # No maintainer scripts (the library is private: nothing for ldconfig),
    # so removing the package leaves no "rc" state; the Source link's
    # lintian tag is overridden with its reason.
    dpkg-deb -e "$deb" "$tmp/control"
    for script in preinst postinst prerm postrm; do
      [ ! -e "$tmp/control/$script" ] || fail "the package has a $script script"
    done
    warnings=$(lintian "$deb" 2>&1 || true)
    if grep -q 'ldconfig\|absolute-symlink' <<< "$warnings"; then fail "lintian: $warnings"; fi
    dpkg-deb -x "$deb" "$tmp/unpacked"
    check_tree "$tmp/unpacked/usr"
    ;;
  *) fail "usage: check-installation.sh install|package BUILD_DIR TEST_ADDIN" ;;
esac
echo "PASS: the $mode tree runs for a fresh user"
