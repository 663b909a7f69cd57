#!/usr/bin/env bash
# Sets up, builds, starts a local kalimo-master and runs the lobby against it.
# Everything local lives under build/local/ (master data, the lobby's folder).
set -euo pipefail
cd "$(dirname "$0")"
root="$(pwd)"
scripts/deps.sh run
scripts/build.sh build -DKALIMO_BUILD_TESTS=OFF

local_dir="$root/build/local"
mkdir -p "$local_dir/master" "$local_dir/home"

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port=7070
while ! port_free "$port"; do
    port=$((port + 1))
    [ "$port" -gt 7170 ] && { echo "No free port for kalimo-master" >&2; exit 1; }
done

master_pid=""
cleanup() { [ -n "$master_pid" ] && kill "$master_pid" 2>/dev/null || true; }
trap cleanup EXIT INT TERM

# A first run gets two permanent rooms to enter; later edits are kept.
if [ ! -f "$local_dir/master/kalimo-master.ini" ]; then
    cat > "$local_dir/master/kalimo-master.ini" <<'INI'
; Local master of ./run.sh: see servers/master/kalimo-master.example.ini
[PermanentRooms]
size=2
1\Name=Piazza
1\MaxUsers=20
1\MaxAudioUsers=3
1\Password=
2\Name=Musica
2\MaxUsers=10
2\MaxAudioUsers=2
2\Password=
INI
fi

if [ -x build/bin/kalimo-master ]; then
    build/bin/kalimo-master --data "$local_dir/master" --port "$port" \
        2>>"$local_dir/master/master.log" &
    master_pid=$!
    for _ in $(seq 50); do port_free "$port" || break; sleep 0.1; done
    echo "kalimo-master on 127.0.0.1:$port (log: $local_dir/master/master.log)"
fi

# The lobby's folder: a master list that points at the local master.
printf 'Locale | 127.0.0.1 | %s | kalimo\r\n\r\n' "$port" > "$local_dir/home/Masters.txt"

KALIMO_HOME="$local_dir/home" build/bin/kalimo
