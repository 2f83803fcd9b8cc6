#!/usr/bin/env bash
# The example event commands against real servers on the loopback: on-event.mqtt through a
# mosquitto broker that this test starts and stops, read back with mosquitto_sub; on-event.http
# into a small HTTP server that records the request.
# Usage: tests/examples_test.sh EXAMPLES_FOLDER
set -euo pipefail
examples=$1
work=$(mktemp -d /tmp/sentry-examples-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Until the command succeeds, 20 s at most: a bound on a failure, not a margin on success.
until_true() { for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done; return 1; }
export QUILLBRAMBLE_EVENT_TIME=2026-12-09T14:03:22+01:00

# --- MQTT: a broker of its own on a free port
for _ in 1 2 3 4 5; do
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" >"$work/mosquitto.conf"
  mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
  broker=$!
  if until_true sh -c "mosquitto_pub -h 127.0.0.1 -p $port -t probe -m up 2>/dev/null || ! kill -0 $broker"; then
    kill -0 "$broker" 2>/dev/null && break  # else the port was taken meanwhile: another
  fi
done
pids+=("$broker")
kill -0 "$broker" || fail "mosquitto did not start: $(cat "$work/mosquitto.log")"
mosquitto_sub -h 127.0.0.1 -p "$port" -t '#' -v >"$work/received" &
pids+=($!)
# Subscribed once a message sent now reaches it.
until_true sh -c "mosquitto_pub -h 127.0.0.1 -p $port -t probe -m ready && grep -q '^probe ready' '$work/received'" ||
  fail "mosquitto_sub never subscribed"
QUILLBRAMBLE_MQTT_HOST=127.0.0.1 QUILLBRAMBLE_MQTT_PORT=$port sh "$examples/on-event.mqtt" fall ||
  fail "on-event.mqtt fall exited $?"
until_true grep -q '^quillbramble-sentry/state alarm$' "$work/received" || fail "no state: $(cat "$work/received")"
grep -qx "quillbramble-sentry/event/fall $QUILLBRAMBLE_EVENT_TIME" "$work/received" ||
  fail "no fall event: $(cat "$work/received")"
# The state is retained: a dashboard that connects later sees it.
[[ $(mosquitto_sub -h 127.0.0.1 -p "$port" -t quillbramble-sentry/state -C 1 -W 10) == alarm ]] ||
  fail "state not retained"

# --- HTTP: a server that records each request, on a port the kernel picks
cat >"$work/server.py" <<'PY'
import http.server, sys
class Recorder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0))).decode()
        with open(sys.argv[1], "a") as record:
            record.write(f"{self.command} {self.path} {self.headers['Title']} {self.headers['Priority']} {body}\n")
        self.send_response(200)
        self.end_headers()
    def log_message(self, *_):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Recorder)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
python3 "$work/server.py" "$work/requests" >"$work/port" &
pids+=($!)
until_true test -s "$work/port" || fail "no HTTP server"
QUILLBRAMBLE_HTTP_URL="http://127.0.0.1:$(cat "$work/port")/sentry" sh "$examples/on-event.http" fall ||
  fail "on-event.http fall exited $?"
grep -qx "POST /sentry fall urgent A fall: the alarm sounds. ($QUILLBRAMBLE_EVENT_TIME)" "$work/requests" ||
  fail "request not as sent: $(cat "$work/requests" 2>/dev/null)"
echo "examples: mqtt and http delivered"
