#!/usr/bin/env bash
# The installed program as a user gets it.
#   install_test.sh BUILD_DIR tree      cmake --install into a fresh prefix
#   install_test.sh BUILD_DIR package   the Debian package, installed with dpkg
#                                       into a clean root and started under Xvfb
set -euo pipefail
build=$(cd "$1" && pwd)
case_name=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/xsession.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
id=com.osterlane.Tonemolder

# The files of an installed tree under $1 (a prefix): in place, valid for the
# desktop's tools, and the command-line program runs.
check_tree() {
  local prefix=$1
  [ -L "$prefix/bin/tonemolder" ] || fail "bin/tonemolder is no link"
  [ "$(readlink -f "$prefix/bin/tonemolder")" = "$(readlink -f "$prefix/lib/tonemolder/tonemolder")" ] \
    || fail "bin/tonemolder does not lead to lib/tonemolder/tonemolder"
  [ -x "$prefix/lib/tonemolder/tonemolder" ] || fail "no program in lib/tonemolder"
  [ -s "$prefix/lib/tonemolder/manual.pdf" ] || fail "no manual beside the program"
  [ -x "$prefix/bin/tonemolder-cli" ] || fail "no tonemolder-cli"

  desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop entry"
  grep -qx 'Categories=Graphics;Photography;' "$prefix/share/applications/$id.desktop" || fail "categories"
  appstreamcli validate --no-net --no-color "$prefix/share/metainfo/$id.metainfo.xml" || fail "metainfo"

  # Every icon is a PNG of the size its folder says.
  for size in 16 24 32 48 64 128 256; do
    local icon="$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
    [ -f "$icon" ] || fail "no icon $icon"
    /usr/bin/python3 - "$icon" "$size" <<'PY' || fail "icon $icon is not $size x $size"
import struct, sys
d = open(sys.argv[1], "rb").read(24)
n = int(sys.argv[2])
sys.exit(0 if d[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", d[16:24]) == (n, n) else 1)
PY
  done

  for page in tonemolder tonemolder-cli; do
    local man="$prefix/share/man/man1/$page.1.gz"
    [ -f "$man" ] || fail "no manual page $man"
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$man" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "manual page $page: $warnings"
  done

  local help
  help=$("$prefix/bin/tonemolder-cli" --help) || fail "tonemolder-cli --help failed"
  grep -q '^Usage: tonemolder-cli' <<<"$help" || fail "tonemolder-cli --help"
  # Images other than TIFF, PNG and JPEG go through the module installed
  # in the program folder.
  printf 'P6\n1 1\n255\n\x80\x40\x20' > "$work/in.ppm"
  "$prefix/bin/tonemolder-cli" --quiet apply "$work/in.ppm" --chain '*srgb' -o "$work/out.bmp" \
    || fail "tonemolder-cli reads no PPM image when installed"
  [ -s "$work/out.bmp" ] || fail "tonemolder-cli wrote no BMP image when installed"
}

# Every dependency of the package is installed on this machine (whose setup
# never installs a colour-management library, so none can slip in through the
# package), and every library the programs load is owned by a package the
# dependencies name.
check_dependencies() {
  local deb=$1 depends
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: $depends"
  /usr/bin/python3 - "$depends" <<'PY' || fail "a dependency is not installed here"
import re, subprocess, sys
ok = True
for group in sys.argv[1].split(","):
    alternatives = [a.strip() for a in group.split("|")]
    def installed(a):
        m = re.match(r"([^\s(]+)\s*(?:\((\S+)\s+([^)]+)\))?", a)
        name, op, version = m.group(1), m.group(2), m.group(3)
        q = subprocess.run(["dpkg-query", "-W", "-f=${Status} ${Version}", name], capture_output=True, text=True)
        if q.returncode != 0 or not q.stdout.startswith("install ok installed"):
            return False
        if not op:
            return True
        have = q.stdout.split()[-1]
        return subprocess.run(["dpkg", "--compare-versions", have, op, version]).returncode == 0
    if not any(installed(a) for a in alternatives):
        print("not satisfied:", group.strip())
        ok = False
sys.exit(0 if ok else 1)
PY
  local names lib path owner
  names=$(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*//; s/^ *//; s/ *$//' | sort -u)
  for lib in $(objdump -p "$build/app/tonemolder" "$build/tools/cli/tonemolder-cli" "$build/tools/cli/tonemolder-cli-images.so" | awk '/NEEDED/ {print $2}' | sort -u); do
    # awk reads to the end: leaving early would kill ldconfig with SIGPIPE.
    path=$(ldconfig -p | awk -v l="$lib" '$1 == l && !found {print $NF; found = 1}')
    # The package database knows a library under /usr or under its real path.
    owner=$( { dpkg -S "$path" || dpkg -S "/usr$path" || dpkg -S "$(readlink -f "$path")"; } 2>/dev/null | head -1 | cut -d: -f1 || true)
    [ -n "$owner" ] || fail "no package owns $lib ($path)"
    # Not echo | grep -q: bash writes the names a line at a time, grep may
    # leave at its match before the last, and pipefail counts echo's SIGPIPE.
    grep -qx "$owner" <<<"$names" || fail "$lib ($owner) is loaded but not a dependency"
  done
}

# Starts the program of the root $1 under a private X server, presses F1 and
# expects the desktop's opener to be asked for the manual beside the program.
check_program_and_manual() {
  local root=$1
  mkdir -p "$work/fakebin" "$work/home"
  cat > "$work/fakebin/xdg-open" <<SH
#!/bin/sh
printf '%s\n' "\$@" >> "$work/opened"
SH
  chmod +x "$work/fakebin/xdg-open"

  start_xvfb || fail "no X server"

  HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data" \
    PATH="$work/fakebin:$PATH" QT_QPA_PLATFORM=xcb TONEMOLDER_QUIT_AFTER_MS=60000 \
    "$root/usr/bin/tonemolder" > "$work/program.log" 2>&1 &
  local program=$!
  pids+=($program)
  local window
  window=$(find_window --onlyvisible --name '^Osterlane Color Tonemolder$') \
    || fail "the program shows no window: $(cat "$work/program.log")"
  sleep 2   # the splash goes after 1.5 s
  xdotool windowfocus --sync "$window"
  xdotool key F1
  for i in $(seq 100); do [ -s "$work/opened" ] && break; sleep 0.1; done
  [ -s "$work/opened" ] || fail "Help > User manual opened nothing: $(cat "$work/program.log")"
  local url expected
  url=$(head -1 "$work/opened")
  expected="file://$(readlink -f "$root/usr/lib/tonemolder")/manual.pdf"
  [ "$url" = "$expected" ] || fail "the manual opened is $url, not $expected"
  kill -0 "$program" || fail "the program ended: $(cat "$work/program.log")"
  echo "the program started from the package and opened $url"
}

case $case_name in
  tree)
    cmake --install "$build" --prefix "$work/prefix" > "$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }
    check_tree "$work/prefix"
    ;;
  package)
    (cd "$build" && cpack -G DEB -B "$work/cpack" > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
    deb=$(ls "$work"/cpack/tonemolder_*.deb)
    check_dependencies "$deb"

    # A clean root with an empty package database: this machine's packages
    # are not known there, so the dependencies checked above are forced.
    root="$work/root"
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
    touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
    dpkg_cmd=(dpkg)
    if [ "$(id -u)" -ne 0 ]; then
      command -v fakeroot > /dev/null || { echo "SKIP: installing a package needs root or fakeroot"; exit 77; }
      dpkg_cmd=(fakeroot dpkg --force-not-root)
    fi
    PATH="$PATH:/usr/sbin:/sbin" "${dpkg_cmd[@]}" --root="$root" --log=/dev/null --force-depends -i "$deb" \
      > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
    dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}\n' tonemolder | grep -q 'install ok installed' \
      || fail "the package is not installed in the clean root"
    check_tree "$root/usr"
    check_program_and_manual "$root"
    ;;
  *) fail "unknown case $case_name";;
esac
