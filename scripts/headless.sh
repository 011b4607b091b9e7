#!/usr/bin/env bash
# A private headless display for running the program: Xvfb on a free display
# number, then (unless --no-tray) the trayer system tray, so the program's
# tray check passes and its window can be screenshotted.
#
#   headless.sh start [--no-tray]   start both, print the exports to eval
#   headless.sh env                 print the exports again
#   headless.sh status              what is running
#   headless.sh stop                stop only what start started
#
# State (pid files, logs) lives in $ONDALINE_HEADLESS_DIR, by default
# /tmp/ondaline-headless-$UID; use another directory for a second display.
# Every wait is bounded.
set -u
DIR=${ONDALINE_HEADLESS_DIR:-/tmp/ondaline-headless-$(id -u)}
GEOMETRY=${ONDALINE_HEADLESS_GEOMETRY:-1280x800x24}

log() { printf '[headless %s] %s\n' "$(date +%T)" "$*" >&2; }
die() { log "ERROR: $*"; exit 1; }
pid_alive() { kill -0 "$1" 2>/dev/null && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
alive() { [ -s "$DIR/$1.pid" ] && pid_alive "$(cat "$DIR/$1.pid")"; }
# wait_for SECONDS CMD...: polls every 0.1 s
wait_for() { local n=$(( $1 * 10 )); shift; while [ $n -gt 0 ]; do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; n=$((n-1)); done; return 1; }
display() { cat "$DIR/display" 2>/dev/null; }

print_env() {
  [ -s "$DIR/display" ] || die "not started"
  echo "export DISPLAY=:$(display)"
  echo "export QT_QPA_PLATFORM=xcb"
}

start_xvfb() {
  if alive xvfb; then log "Xvfb :$(display) already running"; return 0; fi
  rm -f "$DIR/display"
  # -displayfd: Xvfb picks a free display number and writes it once ready
  Xvfb -displayfd 3 -screen 0 "$GEOMETRY" -nolisten tcp -noreset 3>"$DIR/display" >"$DIR/xvfb.log" 2>&1 &
  echo $! >"$DIR/xvfb.pid"
  wait_for 10 test -s "$DIR/display" || die "Xvfb did not come up (see $DIR/xvfb.log)"
  wait_for 10 xdpyinfo -display ":$(display)" || die "display :$(display) does not answer"
  log "Xvfb on :$(display)"
}

start_trayer() {
  if alive trayer; then log "trayer already running"; return 0; fi
  DISPLAY=":$(display)" trayer --edge top --align right --widthtype pixel --width 200 \
      --heighttype pixel --height 32 --transparent false --expand true >"$DIR/trayer.log" 2>&1 &
  echo $! >"$DIR/trayer.pid"
  # trayer owns the tray selection once its window exists
  wait_for 10 env DISPLAY=":$(display)" xdotool search --classname trayer \
      || die "trayer did not map (see $DIR/trayer.log)"
  log "trayer up"
}

stop_one() {
  local name=$1 pid n
  [ -s "$DIR/$name.pid" ] || return 0
  pid=$(cat "$DIR/$name.pid")
  if pid_alive "$pid"; then
    kill "$pid"
    n=50; while pid_alive "$pid" && [ $n -gt 0 ]; do sleep 0.1; n=$((n-1)); done
    pid_alive "$pid" && kill -9 "$pid"
    log "stopped $name ($pid)"
  fi
  rm -f "$DIR/$name.pid"
}

mkdir -p "$DIR"
case "${1:-}" in
  start)
    command -v Xvfb >/dev/null || die "Xvfb is not installed (scripts/install-deps.sh)"
    start_xvfb
    [ "${2:-}" = --no-tray ] || start_trayer
    print_env ;;
  env) print_env ;;
  status)
    for s in xvfb trayer; do
      if alive $s; then echo "$s: running pid $(cat "$DIR/$s.pid")"; else echo "$s: stopped"; fi
    done ;;
  stop) stop_one trayer; stop_one xvfb; rm -f "$DIR/display" ;;
  *) echo "usage: $0 start [--no-tray]|env|status|stop" >&2; exit 64 ;;
esac
