#!/usr/bin/env bash
# Runs a command beside a private PulseAudio server of its own, with the
# null devices the pipeline benchmark uses:
#   kalimo_play, kalimo_mic   null sinks (48 kHz mono, no rewinds)
#   kalimo_in                 a source over kalimo_mic's monitor (the microphone)
#   kalimo_out                a source over kalimo_play's monitor (the ear)
# Qt lists no monitor sources, hence the two remapped ones.
# Usage: scripts/private-pulse.sh COMMAND [ARGS...]
# Exits 77 (a test's "skipped") where PulseAudio or its tools are missing.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
for tool in pulseaudio pactl; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 77; }
done

root=$(mktemp -d "${TMPDIR:-/tmp}/kalimo-pulse-XXXXXX")
pid=""
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid"
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$root"
}
trap cleanup EXIT

mkdir -p "$root/run" "$root/home/.config/pulse"
chmod 700 "$root/run"
echo "autospawn = no" > "$root/client.conf"
export HOME="$root/home" XDG_CONFIG_HOME="$root/home/.config" XDG_RUNTIME_DIR="$root/run"
export PULSE_RUNTIME_PATH="$root/run" PULSE_STATE_PATH="$root/home"
export PULSE_CLIENTCONFIG="$root/client.conf" PULSE_SERVER="unix:$root/run/native"

sink="rate=48000 channels=1 format=s16le norewinds=1"
cat > "$root/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$root/run/native
load-module module-null-sink sink_name=kalimo_play $sink
load-module module-null-sink sink_name=kalimo_mic $sink
load-module module-remap-source source_name=kalimo_in master=kalimo_mic.monitor rate=48000 channels=1 format=s16le
load-module module-remap-source source_name=kalimo_out master=kalimo_play.monitor rate=48000 channels=1 format=s16le
PA

# As root pulseaudio only warns unless --system is given; a per-user server
# in a private folder is what we want either way.
pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no \
    --log-target=file:"$root/pulse.log" -F "$root/server.pa" &
pid=$!
for _ in $(seq 100); do
    if pactl list short sources 2>/dev/null | grep -q kalimo_out; then
        "$@"
        exit $?
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
echo "the private PulseAudio server did not start:" >&2
cat "$root/pulse.log" >&2 || true
exit 1
