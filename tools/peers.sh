#!/usr/bin/env bash
# The local station's sound and stream servers, shared by the tests and the
# demo: `peers.sh DIR pulse icecast` starts the named ones with their files
# in DIR, prints their coordinates as shell assignments and READY, and stops
# them on TERM or INT. They die with this script even when it is killed.
#
# pulse: a private PulseAudio; null sink ondaline_out (default output) and a
#   fake microphone: null sink ondaline_mic remapped as source ondaline_vmic.
# icecast: icecast2 on a free port with random source and admin passwords.
set -euo pipefail
DIR=$1; shift
mkdir -p "$DIR"
PIDS=()
die() { echo "peers: $*" >&2; exit 1; }
stop() { trap - EXIT TERM INT; [ ${#PIDS[@]} -eq 0 ] || kill -9 "${PIDS[@]}" 2>/dev/null || true; }
trap stop EXIT
trap 'exit 0' TERM INT
run() { setpriv --pdeathsig KILL "$@" & PIDS+=($!); }
wait_for() { local n=$(( $1 * 10 )); shift; until "$@" >/dev/null 2>&1; do n=$((n-1)); [ $n -gt 0 ] || return 1; sleep 0.1; done; }
token() { od -An -N12 -tx1 /dev/urandom | tr -d ' \n'; }
port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

pulse() {
  local xdg=$DIR/xdg
  mkdir -p "$xdg" && chmod 700 "$xdg"
  export XDG_RUNTIME_DIR=$xdg PULSE_SERVER=unix:$xdg/pulse/native
  # The microphone is loaded first: Qt 6.4 takes the first non-monitor
  # source as the default input whatever the server says.
  cat >"$DIR/private.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$xdg/pulse/native
load-module module-null-sink sink_name=ondaline_mic rate=48000 channels=2 sink_properties=device.description=Ondaline_Mic_Feed
load-module module-remap-source source_name=ondaline_vmic master=ondaline_mic.monitor source_properties=device.description=Ondaline_Virtual_Mic
load-module module-null-sink sink_name=ondaline_out rate=48000 channels=2 sink_properties=device.description=Ondaline_Null_Output
set-default-sink ondaline_out
set-default-source ondaline_vmic
PA
  HOME=$DIR run env -u PULSE_SERVER pulseaudio --daemonize=no --exit-idle-time=-1 -n -F "$DIR/private.pa" \
    --log-target=file:"$DIR/pulse.log" >"$DIR/pulse.out" 2>&1
  wait_for 10 pactl info || die "PulseAudio did not come up: $(tail -c 1000 "$DIR/pulse.log")"
  # An idle null sink renders in 2 s blocks; a running stream keeps its monitor's latency low.
  for sink in ondaline_out ondaline_mic; do
    run pacat --playback -d $sink --latency-msec=20 --rate=48000 --channels=2 --format=s16le \
      --client-name=keepalive /dev/zero
  done
  echo "PULSE_SERVER=$PULSE_SERVER"
  echo "XDG_RUNTIME_DIR=$xdg"
}

icecast() {
  local port pass admin attempt
  pass=$(token) admin=$(token)
  mkdir -p "$DIR/log" && chmod 755 "$DIR"
  local as=()
  if [ "$(id -u)" -eq 0 ]; then
    # icecast2 refuses to run as root
    chown icecast2 "$DIR/log"
    as=(setpriv --reuid=icecast2 --regid=icecast --clear-groups --pdeathsig KILL)
  fi
  for attempt in 1 2 3; do
    port=$(( 20000 + RANDOM % 30000 ))
    port_busy $port && continue
    cat >"$DIR/icecast.xml" <<XML
<icecast>
  <location>localhost</location><admin>root@localhost</admin>
  <limits><clients>100</clients><sources>40</sources><queue-size>524288</queue-size>
    <client-timeout>30</client-timeout><header-timeout>15</header-timeout><source-timeout>10</source-timeout>
    <burst-on-connect>1</burst-on-connect><burst-size>65535</burst-size></limits>
  <authentication><source-password>$pass</source-password><relay-password>$admin</relay-password>
    <admin-user>admin</admin-user><admin-password>$admin</admin-password></authentication>
  <hostname>127.0.0.1</hostname>
  <listen-socket><port>$port</port><bind-address>127.0.0.1</bind-address></listen-socket>
  <fileserve>1</fileserve>
  <paths><basedir>/usr/share/icecast2</basedir><logdir>$DIR/log</logdir>
    <webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>
  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>3</loglevel></logging>
  <security><chroot>0</chroot></security>
</icecast>
XML
    chmod 644 "$DIR/icecast.xml"
    run "${as[@]}" icecast2 -c "$DIR/icecast.xml" >"$DIR/icecast.out" 2>&1
    # icecast2 2.4.4 may crash when asked for its stats the moment it listens.
    if wait_for 10 port_busy $port && sleep 0.5 && kill -0 "${PIDS[-1]}" 2>/dev/null \
        && curl -sf -o /dev/null -u "admin:$admin" "http://127.0.0.1:$port/admin/stats"; then
      echo "ICECAST_PORT=$port"
      echo "ICECAST_PASSWORD=$pass"
      echo "ICECAST_ADMIN_PASSWORD=$admin"
      return 0
    fi
    kill -9 "${PIDS[-1]}" 2>/dev/null || true
  done
  die "icecast2 did not come up: $(tail -c 1000 "$DIR/icecast.out" "$DIR/log/error.log" 2>&1)"
}

for peer in "$@"; do
  case $peer in pulse|icecast) $peer ;; *) die "unknown peer $peer" ;; esac
done
echo READY
run sleep infinity
wait $!
