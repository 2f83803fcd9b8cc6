#!/usr/bin/env bash
# The installed layout and the Debian package, from a built tree.
# Usage: install_test.sh BUILD_DIR SOUND_DIR [EMULATOR]
#   SOUND_DIR: a private sound server's, from tools/sound_server.sh
#   EMULATOR: the command that runs a cross build's programs on this machine (qemu-aarch64 -L /)
set -uo pipefail
build=$1
emulator=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    passes=$((passes + 1))
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
mode_is() { [[ $(stat -c %a "$1") == "$2" ]]; }

stage="$work/stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null || { echo "FAILED: cmake --install"; exit 1; }
root="$stage/usr"
check "launcher on the PATH, executable" mode_is "$root/bin/quillbramble-sentry" 755
check "program in libexec, executable" mode_is "$root/libexec/quillbramble-sentry/quillbramble-sentry" 755
check "simulated-remote build installed" mode_is "$root/libexec/quillbramble-sentry/quillbramble-sentry-sim" 755
# From here on the installed programs run: a cross build's through its emulator, by scripts that
# take their places.
if [[ -n $emulator ]]; then
  for program in "$root"/libexec/quillbramble-sentry/*; do
    mv "$program" "$program.emulated"
    printf '#!/bin/sh\nexec %s "%s" "$@"\n' "$emulator" "$program.emulated" >"$program"
    chmod 755 "$program"
  done
fi
check "clip installed, readable" mode_is "$root/share/quillbramble-sentry/others_05.wav" 644
check "clip is a WAV" bash -c "head -c 4 '$root/share/quillbramble-sentry/others_05.wav' | grep -q RIFF"
check "udev rule installed" mode_is "$root/lib/udev/rules.d/70-quillbramble-sentry.rules" 644
for page in quillbramble-sentry quillbramble-sentry-sim; do
  check "man page $page installed, gzipped" mode_is "$root/share/man/man1/$page.1.gz" 644
done
check "copyright installed" mode_is "$root/share/doc/quillbramble-sentry/copyright" 644
check "example event commands installed, not executable" mode_is "$root/share/doc/quillbramble-sentry/examples/on-event.mqtt" 644
check "changelog names this version" \
  bash -c "zcat '$root/share/doc/quillbramble-sentry/changelog.gz' | head -n 1 | grep -qF 'quillbramble-sentry (0.1)'"
check "udev rule sorts before 73-seat-late.rules" \
  bash -c '[[ "70-quillbramble-sentry.rules" < "73-seat-late.rules" ]]'
for product in 0306 0330; do
  check "udev rule tags Bluetooth hidraw of 057E:$product for uaccess" \
    grep -q "SUBSYSTEM==\"hidraw\", KERNELS==\"0005:057E:$product.\\*\", TAG+=\"uaccess\"" \
    "$root/lib/udev/rules.d/70-quillbramble-sentry.rules"
done

for page in quillbramble-sentry quillbramble-sentry-sim; do
  warnings=$(zcat "$root/share/man/man1/$page.1.gz" | groff -man -Wall -Tutf8 2>&1 >/dev/null)
  check "man page $page renders without warnings: $warnings" test -z "$warnings"
done

# The launcher brings the program to a clip: the current folder's when there is one, else the
# installed one. The simulated build with no remote tells which happened by its message.
run_in() {  # run_in FOLDER: the message of the installed simulated build run there
  (cd "$1" && QUILLBRAMBLE_SIM_REMOTE=absent SDL_AUDIODRIVER=dummy "$root/bin/quillbramble-sentry-sim" </dev/null 2>&1)
}
mkdir -p "$work/empty" "$work/own"
cp "$root/share/quillbramble-sentry/others_05.wav" "$work/own/"
check "no clip here: the installed one is used" bash -c "[[ '$(run_in "$work/empty")' == 'Wii-Remote not found.' ]]"
mv "$root/share/quillbramble-sentry/others_05.wav" "$work/installed.wav"
check "a clip here is used" bash -c "[[ '$(run_in "$work/own")' == 'Wii-Remote not found.' ]]"
check "no clip anywhere: the program's own message" \
  bash -c "[[ '$(run_in "$work/empty")' == 'Wav files are not found.' ]]"
mv "$work/installed.wav" "$root/share/quillbramble-sentry/others_05.wav"

# The systemd user unit; systemd-analyze verifies a copy whose ExecStart is in the tree.
unit="$root/lib/systemd/user/quillbramble-sentry.service"
setting() { sed -n "s/^$1=//p" "$unit"; }
check "systemd user unit installed" mode_is "$unit" 644
check "ExecStart is in the installed tree: $(setting ExecStart)" test -x "$stage$(setting ExecStart)"
sed "s|^ExecStart=|ExecStart=$stage|" "$unit" >"$work/quillbramble-sentry.service"
verdict=$(XDG_RUNTIME_DIR="$work" systemd-analyze --user verify --man=no "$work/quillbramble-sentry.service" 2>&1; echo "status $?")
check "systemd-analyze verify accepts the unit: $verdict" test "$verdict" = "status 0"
for setting in Restart=always StartLimitIntervalSec=0 StandardInput=null; do
  check "the unit sets $setting" grep -qx "$setting" "$unit"
done
# A run without a remote writes one line (below): at most one such line per RestartSec.
check "10 s or more between runs: $(setting RestartSec)" bash -c '[[ $1 =~ ^[0-9]+$ ]] && (( $1 >= 10 ))' - "$(setting RestartSec)"

# The unit's run without systemd: ExecStart, WorkingDirectory, Environment, stdin /dev/null, output
# to a file as to the journal, the test's sound server, the simulated remote's build as program.
cp "$root/libexec/quillbramble-sentry/quillbramble-sentry-sim" "$root/libexec/quillbramble-sentry/quillbramble-sentry"
mapfile -t session <"$2/env"
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}print_suppressions=0"  # a sanitized build: no report joins its lines
unit_run() {  # (unit_run SETTING...): in a subshell, which becomes the program
  export "${session[@]}" $(setting Environment) "$@"
  cd "$(setting WorkingDirectory | sed "s|^~|$HOME|")" && exec "$stage$(setting ExecStart)" </dev/null >"$work/journal" 2>&1
}
(unit_run QUILLBRAMBLE_SIM_REMOTE=absent)
check "no remote: status 1, one line" test "$? $(cat "$work/journal")" = "1 Wii-Remote not found."
# Stretches of sound at the sink, parted by a quarter second (22050 frames/s).
bursts() { od -An -v -td2 -w2 "$work/monitor.raw" | awk '($1 > 1000 || $1 < -1000) { if (!n || NR - last > 5512) n++; last = NR } END { print n + 0 }'; }
(export "${session[@]}"; exec parec --raw --format=s16le --rate=22050 --channels=1 -d sentry_sink.monitor) >"$work/monitor.raw" 2>/dev/null & recorder=$!
for _ in $(seq 100); do [[ -s "$work/monitor.raw" ]] && break; sleep 0.1; done  # an idle null sink renders ahead till then
(unit_run) &
for _ in $(seq 150); do [[ $(bursts) -ge 2 ]] && break; sleep 0.1; done
kill -TERM $! 2>/dev/null && wait $!  # as systemctl --user stop
kill "$recorder"
check "the unit's run: banner, no wait for Enter" bash -c '[[ $(<"$1") == *"Home button  ... Quit"* && $(<"$1") != *Enter* ]]' - "$work/journal"
check "the unit's run: ready sign and a fall's alarm at the sink ($(bursts) sounds)" test "$(bursts)" -ge 2

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || { echo "FAILED: cpack"; exit 1; }
deb=$(ls "$work"/deb/quillbramble-sentry_*.deb)
listing=$(dpkg-deb -c "$deb")
for file in ./usr/bin/quillbramble-sentry ./usr/libexec/quillbramble-sentry/quillbramble-sentry \
            ./usr/share/quillbramble-sentry/others_05.wav ./usr/lib/udev/rules.d/70-quillbramble-sentry.rules \
            ./usr/share/man/man1/quillbramble-sentry.1.gz ./usr/share/man/man1/quillbramble-sentry-sim.1.gz \
            ./usr/share/doc/quillbramble-sentry/copyright ./usr/share/doc/quillbramble-sentry/changelog.gz \
            ./usr/lib/systemd/user/quillbramble-sentry.service; do
  check ".deb holds $file" grep -q " $file\$" <<<"$listing"
done
depends=$(dpkg-deb -f "$deb" Depends)
check ".deb depends on hidapi (from the libraries linked): $depends" grep -q libhidapi-hidraw0 <<<"$depends"
check ".deb depends on SDL2: $depends" grep -q libsdl2-2.0-0 <<<"$depends"

echo "$passes passed, $failures failed"
[[ $failures -eq 0 ]]
