#!/usr/bin/env bash
# The Debian package as an operator gets it: built with cpack from a built
# tree, installed with apt-get on this machine, started headless (Xvfb with
# a tray) once the way the menu starts it and once from a terminal in a
# fresh directory; each time the start-up banner must reach the day's log in
# the expected directory and the window must show, then the window is closed
# and the program must end with 0. Every shared object the running program
# loaded must come from a package that the .deb's dependencies pull in.
# Finally the package is removed. Needs root or sudo; stops at the first
# failed step and says which.
#
#   check-package.sh [BUILD_DIR]    default: build
set -Eeuo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
BEGIN=$(date +%s)

log() { printf '[check-package %s] %s\n' "$(date +%T)" "$*" >&2; }
die() { log "FAILED: $*"; exit 1; }
trap 'die "unexpected error in line $LINENO: $BASH_COMMAND"' ERR

WORK="$(mktemp -d /tmp/ondaline-package.XXXXXX)"
# apt reads the .deb as its own unprivileged user
chmod 755 "$WORK"
INSTALLED=0
PIDS=()
export ONDALINE_HEADLESS_DIR="$WORK/display"
cleanup() {
  local pid
  trap - ERR
  for pid in "${PIDS[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  bash "$ROOT/scripts/headless.sh" stop >/dev/null 2>&1 || true
  if [ "$INSTALLED" = 1 ]; then
    log "removing the package after a failure"
    $SUDO apt-get remove -y -qq ondaline >/dev/null 2>&1 || log "could not remove ondaline: apt-get remove ondaline"
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# A child that has exited stays a zombie until waited for.
alive() { kill -0 "$1" 2>/dev/null && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
show_tail() { [ -f "$1" ] && tail -n 25 "$1" | sed 's/^/    /' >&2; true; }
PYTHON="$(command -v /usr/bin/python3 || command -v python3)" || die "python3 is missing (scripts/install-deps.sh)"
for tool in cpack dpkg-shlibdeps file desktop-file-validate xdotool xwininfo; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh)"
done

# --- the package ---------------------------------------------------------
[ -f "$BUILD/CPackConfig.cmake" ] || die "$BUILD is not a configured build tree"
VERSION="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")"
[ -n "$VERSION" ] || die "no project version in $BUILD/CMakeCache.txt"
DEB="$WORK/pkg/ondaline_${VERSION}_$(dpkg --print-architecture).deb"
log "building $(basename "$DEB")"
if ! (cd "$WORK" && cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$WORK/pkg") >"$WORK/cpack.log" 2>&1; then
  show_tail "$WORK/cpack.log"; die "cpack could not build the package"
fi
[ -f "$DEB" ] || { show_tail "$WORK/cpack.log"; die "cpack made no $(basename "$DEB")"; }

field() { dpkg-deb -f "$DEB" "$1"; }
[ "$(field Version)" = "$VERSION" ] || die "the package's version $(field Version) is not the project's $VERSION"
DEPENDS="$(field Depends)"
log "Depends: $DEPENDS"
log "Recommends: $(field Recommends); Installed-Size: $(field Installed-Size) KiB"
for needed in libqt6core6 libqt6multimedia6 libavformat libswresample qml6-module-qtquick-controls libqt6svg6; do
  [[ "$DEPENDS" == *"$needed"* ]] || die "Depends lacks $needed (dpkg-shlibdeps or the listed run-time modules)"
done
[ "$(field Recommends)" = fonts-symbola ] || die "the package does not recommend fonts-symbola, the font with the play mark"
# The program, its menu launcher, its menu entry and its icon: no test, no tool.
expected="./usr/bin/ondaline
./usr/libexec/ondaline/ondaline-launcher
./usr/share/applications/ondaline.desktop
./usr/share/icons/hicolor/scalable/apps/ondaline.svg"
contents="$(dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ {print $6}' | sort)"
[ "$contents" = "$expected" ] || die "the package holds $(echo $contents), expected $(echo $expected)"

# --- installed -----------------------------------------------------------
if dpkg-query -W -f='${Status}' ondaline 2>/dev/null | grep -q "install ok installed"; then
  die "ondaline is already installed here; this check would replace and remove it: apt-get remove ondaline first"
fi
log "apt-get install $DEB"
INSTALLED=1
ok=0
for attempt in 1 2 3; do
  if $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$DEB" \
       >"$WORK/apt.log" 2>&1; then ok=1; break; fi
  grep -q "Could not get lock" "$WORK/apt.log" || break
  log "dpkg is locked, trying again in 10 s"; sleep 10
done
[ $ok = 1 ] || { show_tail "$WORK/apt.log"; die "apt-get could not install the package"; }

[ "$(command -v ondaline)" = /usr/bin/ondaline ] || die "ondaline is not on PATH as /usr/bin/ondaline after installing"
DESKTOP=/usr/share/applications/ondaline.desktop
desktop-file-validate "$DESKTOP" >"$WORK/desktop.log" 2>&1 || { show_tail "$WORK/desktop.log"; die "$DESKTOP is not a valid menu entry"; }
LAUNCHER="$(sed -n 's/^Exec=//p' "$DESKTOP")"
[ -x "$LAUNCHER" ] || die "the menu entry's command \"$LAUNCHER\" is not an installed executable"
[ "$(sed -n 's/^Icon=//p' "$DESKTOP")" = ondaline ] && [ -f /usr/share/icons/hicolor/scalable/apps/ondaline.svg ] \
  || die "the menu entry's icon is not installed in the hicolor theme"

# --- running -------------------------------------------------------------
DISPLAY_ENV="$(bash "$ROOT/scripts/headless.sh" start 2>"$WORK/headless.log")" \
  || { show_tail "$WORK/headless.log"; die "no headless display with a tray"; }
eval "$DISPLAY_ENV"
mkdir -m 700 "$WORK/runtime"
# The program asks its web service for the version at start. Qt takes the
# proxy from the environment: a closed loopback port keeps that request on
# this machine.
CLOSED_PORT="$("$PYTHON" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
PROXY="http://127.0.0.1:$CLOSED_PORT"

# start NAME HOME DIR COMMAND...: COMMAND in DIR with HOME, in the background; sets PID
start() {
  local name=$1 home=$2 dir=$3; shift 3
  mkdir -p "$home" "$dir"
  ( cd "$dir" && exec env -u XDG_DATA_HOME -u no_proxy -u NO_PROXY -u WAYLAND_DISPLAY \
      HOME="$home" XDG_RUNTIME_DIR="$WORK/runtime" PULSE_SERVER="unix:$WORK/runtime/none" \
      http_proxy="$PROXY" https_proxy="$PROXY" HTTP_PROXY="$PROXY" HTTPS_PROXY="$PROXY" \
      all_proxy="$PROXY" ALL_PROXY="$PROXY" "$@" ) >"$WORK/$name.out" 2>&1 &
  PID=$!
  PIDS+=("$PID")
}

# main_window PID: prints the id of the process's mapped main window (at
# least 640 x 480; its tray icon is a window too), waiting up to 30 s
main_window() {
  local pid=$1 n=300 id size
  while [ $n -gt 0 ]; do
    alive "$pid" || return 1
    for id in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
      size="$(xwininfo -id "$id" 2>/dev/null | awk '/Width:/ {w = $2} /Height:/ {h = $2} END {print w + 0, h + 0}')"
      if [ "${size% *}" -ge 640 ] && [ "${size#* }" -ge 480 ]; then echo "$id"; return 0; fi
    done
    sleep 0.1; n=$((n - 1))
  done
  return 1
}

# WM_DELETE_WINDOW, as a window manager sends for the close button.
close_window() {
  "$PYTHON" - "$1" <<'PY'
import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x.XCloseDisplay.argtypes = [ctypes.c_void_p]

class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

class Event(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

display = x.XOpenDisplay(None)
if not display:
    sys.exit("cannot open the display")
window = int(sys.argv[1])
event = Event()
event.xclient.type = 33  # ClientMessage
event.xclient.window = window
event.xclient.message_type = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
event.xclient.format = 32
event.xclient.data[0] = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
sent = x.XSendEvent(display, window, 0, 0, ctypes.byref(event))
x.XSync(display, 0)
x.XCloseDisplay(display)
sys.exit(0 if sent else 1)
PY
}

# banner DIR: the start-up banner (fifty hyphens, then the version line) in
# DIR's log of today, or of yesterday just after midnight
banner() {
  local day file
  for day in today yesterday; do
    file="$1/ondaline_$(date -d "$day" +%d.%m.%Y).log"
    [ -f "$file" ] || continue
    grep -A1 -E '^[0-9.]{10} [0-9:]{8} \(W\): -{50} \(' "$file" \
      | grep -E "^[0-9.]{10} [0-9:]{8} \\(W\\): Ondaline ${VERSION//./\\.} startup \\(" >/dev/null && return 0
  done
  return 1
}

# Qt loads its plugins and QML modules at run time, so dpkg-shlibdeps cannot
# see them: every one that PID mapped must belong to a package in the
# dependency closure of the installed ondaline, so that a fresh system's
# apt-get brings it. (Libraries that Qt only tries with dlopen, such as
# libXcursor, are optional and not checked.)
check_loaded_libraries() {
  local pid=$1 closure owners missing path
  closure="$(apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances ondaline | grep -v '^ ' | sed 's/[<>]//g; s/:.*//' | sort -u)"
  mapfile -t libraries < <(awk '$6 ~ /\/qt6\/(plugins|qml)\/.*\.so$/ {print $6}' "/proc/$pid/maps" | sort -u)
  [ ${#libraries[@]} -ge 5 ] || die "only ${#libraries[@]} Qt plugins in /proc/$pid/maps"
  missing=()
  for path in "${libraries[@]}"; do
    # dpkg knows /lib/... where merged /usr shows /usr/lib/...
    owners="$(dpkg -S "$path" 2>/dev/null || dpkg -S "${path#/usr}" 2>/dev/null || true)"
    owners="$(printf '%s\n' "$owners" | grep -v '^diversion' | head -n1 | sed 's/: .*//; s/:[a-z0-9]*//g; s/,//g')"
    if [ -z "$owners" ]; then
      missing+=("$path (no package)")
    elif ! printf '%s\n' $owners | grep -qxF -f - <(echo "$closure"); then
      missing+=("$path ($owners)")
    fi
  done
  [ ${#missing[@]} -eq 0 ] || die "loaded, but not pulled in by the package's dependencies: ${missing[*]}"
  log "all ${#libraries[@]} Qt plugins and QML modules it loaded come with the package's dependencies"
}

# run_and_close NAME LOGDIR OTHERDIR: waits for the started program's
# window and its banner in LOGDIR, closes the window, expects exit code 0
# and no lock left; OTHERDIR must have no file of the program
run_and_close() {
  local name=$1 logdir=$2 otherdir=$3 window code
  window="$(main_window "$PID")" || { show_tail "$WORK/$name.out"; die "$name: no main window within 30 s"; }
  banner "$logdir" || { ls -la "$logdir" >&2 || true; show_tail "$WORK/$name.out"; die "$name: no start-up banner in the day's log in $logdir"; }
  ! ls "$otherdir"/ondaline* >/dev/null 2>&1 || die "$name: the program wrote into $otherdir: $(ls "$otherdir")"
  [ "$name" = menu ] && check_loaded_libraries "$PID"
  close_window "$window" || die "$name: could not send the window its close request"
  local n=150
  while alive "$PID" && [ $n -gt 0 ]; do sleep 0.1; n=$((n - 1)); done
  alive "$PID" && die "$name: still running 15 s after its window was closed"
  code=0; wait "$PID" || code=$?
  PIDS=()
  [ "$code" = 0 ] || { show_tail "$WORK/$name.out"; die "$name: exit code $code after closing the window"; }
  [ ! -e "$logdir/ondaline.lock" ] || die "$name: the lock outlived the program"
  log "$name: window shown, banner in $logdir, closed with exit code 0"
}

# From the menu: the launcher, started elsewhere, runs the program in the
# user's data directory, which it creates.
log "starting it as the menu does: $LAUNCHER"
start menu "$WORK/home" "$WORK/menu-cwd" "$LAUNCHER"
run_and_close menu "$WORK/home/.local/share/ondaline" "$WORK/menu-cwd"

# From a terminal: by name, in the directory the operator chose.
log "starting it from a terminal in a fresh directory"
start terminal "$WORK/home2" "$WORK/terminal-cwd" ondaline
run_and_close terminal "$WORK/terminal-cwd" "$WORK/home2/.local/share/ondaline"

# --- removed -------------------------------------------------------------
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q ondaline >"$WORK/apt.log" 2>&1 \
  || { show_tail "$WORK/apt.log"; die "apt-get could not remove the package"; }
INSTALLED=0
for path in /usr/bin/ondaline "$LAUNCHER" "$DESKTOP"; do
  [ ! -e "$path" ] || die "$path is still there after removing the package"
done
[ -n "$(ls "$WORK/home/.local/share/ondaline"/ondaline_*.log 2>/dev/null)" ] \
  || die "removing the package took the user's logs with it"
log "passed in $(( $(date +%s) - BEGIN )) s"
