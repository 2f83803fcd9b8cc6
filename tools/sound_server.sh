#!/usr/bin/env bash
# A private desktop sound server with one null sink, for the tests and the benchmarks: no
# systemd, no sound card, nothing shared with a server the machine may already run.
# Usage: tools/sound_server.sh start pulseaudio|pipewire DIR
#        tools/sound_server.sh stop DIR
# start stops whatever an earlier start left in DIR, starts the server with DIR as its runtime
# folder, waits until its null sink "sentry_sink" is the default output, and writes DIR/env:
# the KEY=VALUE lines that point a client (SDL, parec, pactl) at it, and DIR/servers: the pids
# of the server's own processes, whose CPU tells its cost. PulseAudio suspends the sink after
# 1 s without a running stream, as a desktop's does after 5 s, and its null sink does not
# rewind: a stream that starts while the sink runs follows what the sink has rendered ahead,
# so that the monitor records all of it (a rewind mixes the stream's start into time that the
# monitor has handed on already, and the recording loses it). stop ends every process that
# start began and removes DIR; it signals only processes still its own (their environment names
# DIR), never one that has since taken a recorded pid. Each process also ends by itself after
# LIFETIME_S, so that an interrupted run leaves nothing behind for long.
set -euo pipefail

LIFETIME_S=1800
READY_WAIT_S=10
SINK=sentry_sink

usage() {
  echo "usage: $0 start pulseaudio|pipewire DIR | stop DIR" >&2
  exit 2
}

# The pids in DIR/pids and DIR/servers that are still start's own: processes whose environment
# names DIR as their runtime folder. A pid may since have gone to an unrelated process.
own_pids() {
  local dir=$1 pid
  cat "$dir/pids" "$dir/servers" 2>/dev/null | while read -r pid; do
    if [[ $pid =~ ^[0-9]+$ ]] && grep -qsxzF "XDG_RUNTIME_DIR=$dir" "/proc/$pid/environ"; then echo "$pid"; fi
  done
  return 0
}

stop() {
  local dir=$1 pid
  for pid in $(own_pids "$dir"); do kill -TERM "$pid" 2>/dev/null || true; done
  for _ in $(seq 50); do
    [[ -z $(own_pids "$dir") ]] && break
    sleep 0.1
  done
  for pid in $(own_pids "$dir"); do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}

# Starts a daemon in a session of its own, its output in DIR/NAME.log, and records its pid.
daemon() {
  local name=$1
  shift
  setsid timeout -k 5 "$LIFETIME_S" "$@" >"$dir/$name.log" 2>&1 </dev/null &
  echo $! >>"$dir/pids"
}

wait_for() {
  local what=$1
  shift
  for _ in $(seq $((READY_WAIT_S * 10))); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "$0: $what did not come up; logs in $dir:" >&2
  tail -n 5 "$dir"/*.log >&2 || true
  return 1
}

default_sink_is_ours() {
  pactl info | grep -qx "Default Sink: $SINK"
}

# pipewire-pulse may answer before it can make sinks ("Not supported"): tried until it can.
null_sink_made() {
  pactl list short sinks | grep -q "	$SINK	" || pactl load-module module-null-sink sink_name=$SINK
  pactl set-default-sink $SINK && default_sink_is_ours
}

[[ $# -ge 2 ]] || usage
command=$1
case "$command" in
  stop) [[ $# -eq 2 ]] || usage; stop "$(realpath -m "$2")"; exit 0 ;;
  start) [[ $# -eq 3 ]] || usage; kind=$2; dir=$(realpath -m "$3") ;;
  *) usage ;;
esac

stop "$dir"
# A start that fails, or is interrupted, stops what it has started.
trap '[[ $? -eq 0 ]] || stop "$dir"' EXIT
trap 'exit 1' INT TERM HUP
mkdir -p "$dir"
chmod 700 "$dir"
: >"$dir/pids"
# The servers keep their state and cookies under HOME and XDG folders: all of them in DIR.
export HOME=$dir XDG_RUNTIME_DIR=$dir XDG_CONFIG_HOME=$dir/config XDG_STATE_HOME=$dir/state
export XDG_DATA_HOME=$dir/data PULSE_RUNTIME_PATH=$dir/pulse PULSE_STATE_PATH=$dir/state
unset PULSE_SERVER DBUS_SESSION_BUS_ADDRESS
mkdir -p "$PULSE_RUNTIME_PATH" "$PULSE_STATE_PATH"

case "$kind" in
  pulseaudio)
    # -n: no default configuration, only these modules; anonymous clients, so that no
    # cookie need be shared.
    daemon pulseaudio pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
      --log-target=stderr -L "module-null-sink sink_name=$SINK norewinds=1" -L "module-suspend-on-idle timeout=1" \
      -L "module-native-protocol-unix auth-anonymous=1 socket=$PULSE_RUNTIME_PATH/native"
    export PULSE_SERVER=unix:$PULSE_RUNTIME_PATH/native
    wait_for "pulseaudio" default_sink_is_ours
    ;;
  pipewire)
    # wireplumber, the session manager, exits without a session bus.
    daemon dbus dbus-daemon --session --address="unix:path=$dir/bus" --nofork --nopidfile
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
    wait_for "dbus-daemon" test -S "$dir/bus"
    daemon pipewire pipewire
    wait_for "pipewire" test -S "$dir/pipewire-0"
    daemon wireplumber wireplumber
    daemon pipewire-pulse pipewire-pulse
    export PULSE_SERVER=unix:$dir/pulse/native
    wait_for "pipewire-pulse" pactl info
    wait_for "the null sink" null_sink_made
    ;;
  *) usage ;;
esac

# Each daemon runs under timeout, as its child.
while read -r pid; do cat "/proc/$pid/task/$pid/children"; done <"$dir/pids" | tr ' ' '\n' | grep . >"$dir/servers"
{
  echo "PULSE_SERVER=$PULSE_SERVER"
  echo "XDG_RUNTIME_DIR=$dir"
  echo "HOME=$dir"
  if [[ $kind == pipewire ]]; then echo "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS"; fi
} >"$dir/env"
