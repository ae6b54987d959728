#!/usr/bin/env bash
# The whole system on one machine, no voice client needed: builds the
# plug-in, the falloff server and the tools; starts falloff_server (its
# store in the output directory) and game_sim, the game side, which posts a
# small simulated world (three creatures moving around the listener) to the
# server's ingest, connects and links the creatures' voice clients, and
# types the listener's "!verify" with the code the plug-in's banner shows;
# the headless host drives the plug-in as the voice client would while four
# remote users talk. Halfway the server is restarted: the plug-in
# reconnects and its link is still there. Writes what the listener hears
# and a plot of the levels the plug-in applied, and prints a summary.
#
#   scripts/demo.sh [--seconds S] [--speed X] [--rate HZ] [--synthetic] [--out DIR]
#                   [--build-dir DIR] [--no-build] [--no-install] [--no-plot]
#
# --synthetic uses generated voices instead of espeak-ng speech; --speed
# runs simulated time faster than the wall clock; --rate sets the game's
# posts per simulated second (default 2, slow enough that the plot shows
# each level gliding between the server's samples; the server sends twice
# as many). Installs what it misses (Debian packages) unless --no-install
# is given.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
source scripts/common.sh

SECONDS_SIM=20
SPEED=1
RATE=2
SYNTHETIC=0
OUT=$ROOT/out/demo
BUILD=$ROOT/build-demo
DO_BUILD=1
DO_INSTALL=1
DO_PLOT=1
while (($#)); do
  case $1 in
    --seconds) SECONDS_SIM=$2; shift ;;
    --speed) SPEED=$2; shift ;;
    --rate) RATE=$2; shift ;;
    --synthetic) SYNTHETIC=1 ;;
    --out) OUT=$2; shift ;;
    --build-dir) BUILD=$2; shift ;;
    --no-build) DO_BUILD=0 ;;
    --no-install) DO_INSTALL=0 ;;
    --no-plot) DO_PLOT=0 ;;
    *) sed -n '2,21p' "$0"; exit 2 ;;
  esac
  shift
done

# ---- what the demo needs ------------------------------------------------------
if ((DO_INSTALL)); then
  wanted=(cmake ninja-build g++ libsndfile1-dev espeak-ng libasio-dev libcpp-httplib-dev nlohmann-json3-dev
    libtomlplusplus-dev libsqlite3-dev libcli11-dev pkg-config)
  ((DO_PLOT)) && wanted+=(gnuplot-nox)
  bash scripts/install_deps.sh "${wanted[@]}"
fi

if ((DO_BUILD)); then
  echo "== building in $BUILD"
  mkdir -p "$BUILD"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQL_TESTS=OFF -DQL_TOOLS=ON >"$BUILD/configure.log" 2>&1 ||
    { cat "$BUILD/configure.log"; exit 1; }
  ninja -C "$BUILD" -j"$JOBS" quorra_link falloff_server game_sim headless_host >"$BUILD/build.log" 2>&1 ||
    { tail -40 "$BUILD/build.log"; exit 1; }
fi
BIN=$BUILD/bin
LIB_NAME=quorra_link.so
for f in "$BIN/$LIB_NAME" "$BIN/falloff_server" "$BIN/game_sim" "$BIN/headless_host"; do
  [ -e "$f" ] || { echo "missing $f (build first, or drop --no-build)"; exit 1; }
done

# ---- the cast: who is on the voice server, and whose creature is in the game ----
rm -rf "$OUT"
mkdir -p "$OUT/plugin" "$OUT/voices"
DROP_AT=$(awk -v s="$SECONDS_SIM" 'BEGIN { printf "%.1f", s * 0.45 }')
JOIN_AT=$(awk -v s="$SECONDS_SIM" 'BEGIN { printf "%.1f", s * 0.2 }')
MOVE_AT=$(awk -v s="$SECONDS_SIM" 'BEGIN { printf "%.1f", s * 0.6 }')
cat >"$OUT/cast.txt" <<EOF
# role     name    certificate hash (SHA-1, 40 hex)           voice              joins at  changes channel at
listener   Ana     5eed1e55c0ffee00d15ea5e0123456789abcdef0   -
creature   Rex     a1b2c3d4e5f60718293a4b5c6d7e8f9012345678   voices/rex.wav     0
creature   Trike   0badc0debeef00112233445566778899aabbccdd   voices/trike.wav   0
creature   Raptor  feedfacecafe0123456789abcdefabcdef012345   voices/raptor.wav  $JOIN_AT
bystander  Bo      77777777aaaaaaaa55555555cccccccc33333333   voices/bo.wav      0         $MOVE_AT
EOF

say() { # file, espeak voice, words
  espeak-ng -v "$2" -s 150 -w "$OUT/voices/$1" "$3" 2>/dev/null
}
if ((SYNTHETIC == 0)) && command -v espeak-ng >/dev/null; then
  say rex.wav en+m3 "Rex here. I am circling around you, out and back in again. Can you hear me moving from side to side?"
  say trike.wav en+f2 "Trike walking past, from your left to your right. Louder as I come close, fading as I go."
  say raptor.wav en-us+m7 "Raptor, coming straight at you and backing away. Close, then far."
  say bo.wav en+f4 "I am Bo. I am in the voice channel, but not in the game. You should not hear me."
else
  SYNTHETIC=1
  echo "== espeak-ng not available: synthetic voices"
fi

# ---- the falloff server, the game side, then the host ---------------------------------
KEY=demo-key-$RANDOM
EPOCH=$(($(date +%s%3N) + 2500))
# The server ticks on the wall clock, twice for each of the game's posts, so
# a post is sent on within half its period.
SERVER_RATE=$(awk -v r="$RATE" -v x="$SPEED" 'BEGIN { printf "%g", 2 * r * x }')
mkdir -p "$OUT/server"
write_config() { # plug-ins' port, ingest's port (0: any free one)
  cat >"$OUT/server/falloff.toml" <<EOF
# Written by scripts/demo.sh: everything on this machine only.
[plugins]
listen = "127.0.0.1:$1"
keys = ["$KEY"]

[ingest]
listen = "127.0.0.1:$2"

[falloff]
rate_hz = $SERVER_RATE
near_m = 8
curve = "linear"
ranges = { whisper = 10, normal = 40, shout = 80 }

[store]
path = "links.sqlite3"
EOF
}
start_server() { # its process id in server/pid
  "$BIN/falloff_server" --config "$OUT/server/falloff.toml" 2>>"$OUT/server.log" &
  echo $! >"$OUT/server/pid"
}
stop_all() {
  kill ${RESTARTER:-} ${GAME:-} 2>/dev/null || true
  kill -TERM "$(cat "$OUT/server/pid")" 2>/dev/null || true
}
write_config 0 0
: >"$OUT/server.log"
start_server
trap stop_all EXIT
PORT= INGEST=
for _ in $(seq 100); do
  read -r PORT INGEST < <(sed -n 's/.*plug-ins on 127\.0\.0\.1:\([0-9]*\), game side on 127\.0\.0\.1:\([0-9]*\).*/\1 \2/p' \
    "$OUT/server.log") || true
  [ -n "$PORT" ] && break
  kill -0 "$(cat "$OUT/server/pid")" 2>/dev/null || break
  sleep 0.05
done
[ -n "$PORT" ] || { echo "the falloff server did not start:"; cat "$OUT/server.log"; exit 1; }
write_config "$PORT" "$INGEST"  # the same ports after the restart

: >"$OUT/host.log"
"$BIN/game_sim" --simulate "$OUT/cast.txt" --ingest-port "$INGEST" --plugin-port "$PORT" --key "$KEY" \
  --host-log "$OUT/host.log" --near 8 --range 40 --csv "$OUT/paths.csv" --duration "$SECONDS_SIM" \
  --speed "$SPEED" --rate "$RATE" --epoch-ms "$EPOCH" >"$OUT/game.log" 2>&1 &
GAME=$!

# At the drop the server restarts: every connection goes, the links stay.
restart_server() {
  local at_ms=$((EPOCH + $(awk -v d="$DROP_AT" -v x="$SPEED" 'BEGIN { printf "%d", d * 1000 / x }')))
  sleep "$(awk -v ms=$((at_ms - $(date +%s%3N))) 'BEGIN { printf "%.3f", (ms > 0 ? ms / 1000 : 0) }')"
  local old
  old=$(cat "$OUT/server/pid")
  kill -TERM "$old"
  while kill -0 "$old" 2>/dev/null; do sleep 0.02; done
  echo "demo: t=${DROP_AT}s dropped every connection: falloff_server restarted" >>"$OUT/server.log"
  start_server
}
restart_server &
RESTARTER=$!

# The player's side: the plug-in in a folder of its own with its settings.
cp "$BIN/$LIB_NAME" "$OUT/plugin/"
cat >"$OUT/plugin/quorra_link.ini" <<EOF
# Written by scripts/demo.sh for the falloff server on this machine.
server_host = 127.0.0.1
server_port = $PORT
api_key = $KEY
debug_log = on
reconnect_sec = 1
EOF

echo "== falloff server: plug-ins on 127.0.0.1:$PORT, game side on 127.0.0.1:$INGEST; $RATE updates a simulated second, ${SECONDS_SIM}s of simulated time at ${SPEED}x"
host_args=(--library "$OUT/plugin/$LIB_NAME" --cast "$OUT/cast.txt" --wav "$OUT/listener.wav"
  --levels "$OUT/levels.csv" --seconds "$SECONDS_SIM" --speed "$SPEED" --epoch-ms "$EPOCH")
((SYNTHETIC)) && host_args+=(--synthetic)
"$BIN/headless_host" "${host_args[@]}" | tee -a "$OUT/host.log"
GAME_RC=0
wait $GAME || GAME_RC=$?
wait $RESTARTER || true
kill -TERM "$(cat "$OUT/server/pid")" 2>/dev/null || true
trap - EXIT
sed -n 's/^game_sim: //p' "$OUT/game.log"
grep -E 'restarted|linked player|link ' "$OUT/server.log" | sed 's/^/server: /' || true
((GAME_RC == 0)) || { echo "game_sim failed:"; cat "$OUT/game.log"; exit 1; }

# ---- the plot ------------------------------------------------------------------------
plot() {
  local colours=("#1f77b4" "#d62728" "#2ca02c" "#9467bd" "#ff7f0e" "#7f7f7f")
  local creatures names paths="" gains="" pans="" i data=$OUT/plot-data
  mapfile -t creatures < <(awk '$1 == "creature" { print $2 }' "$OUT/cast.txt")
  mapfile -t names < <(awk '$1 == "creature" || $1 == "bystander" { print $2 }' "$OUT/cast.txt")
  # One file per creature, so each path is one unbroken line; the server's
  # samples are the ticks whose line reached the plug-in.
  mkdir -p "$data"
  for i in "${!creatures[@]}"; do
    awk -F, -v n="${creatures[i]}" '$2 == n' "$OUT/paths.csv" >"$data/${creatures[i]}.csv"
    paths+="'$data/${creatures[i]}.csv' using 3:4 with lines lw 2 lc rgb '${colours[i]}' title '${creatures[i]}', "
    gains+="'$data/${creatures[i]}.csv' using 1:(\$8 == 1 ? \$6 : NaN) with points pt 6 ps 0.7 lc rgb '${colours[i]}' notitle, "
    pans+="'$data/${creatures[i]}.csv' using 1:(\$8 == 1 && \$6 > 0.01 ? \$7 : NaN) with points pt 6 ps 0.7 lc rgb '${colours[i]}' notitle, "
  done
  # The applied level of each user, one line per stretch of talking (a
  # blank line, which ends a line in gnuplot, wherever a block is missing).
  for i in "${!names[@]}"; do
    awk -F, -v n="${names[i]}" '$3 == n && $5 != "" { if (seen && $1 - t > 0.015) print ""; print; t = $1; seen = 1 }' \
      "$OUT/levels.csv" >"$data/applied-${names[i]}.csv"
    gains+="'$data/applied-${names[i]}.csv' using 1:5 with lines lw 1.5 lc rgb '${colours[i]}' title '${names[i]}', "
    pans+="'$data/applied-${names[i]}.csv' using 1:(\$5 > 0.01 ? \$6 : NaN) with lines lw 1.5 lc rgb '${colours[i]}' notitle, "
  done
  # Shade the time the falloff link was down: from the server's drop to the
  # plug-in's next "connected" line.
  local down_from down_to shade=""
  down_from=$(sed -n 's/^demo: t=\([0-9.]*\)s dropped.*/\1/p' "$OUT/server.log")
  down_to=$(grep 'connected to falloff' "$OUT/host.log" | sed -n '2s/^\[ *\([0-9.]*\)s\].*/\1/p')
  if [ -n "$down_from" ] && [ -n "$down_to" ]; then
    shade="set object 3 rect from $down_from, graph 0 to $down_to, graph 1 fc rgb '#e8e8e8' fs solid noborder behind"
  fi
  gnuplot -e "out='$OUT/levels.png'; seconds=$SECONDS_SIM" -e "paths=\"$paths\"" -e "gains=\"${gains%, }\"" \
    -e "pans=\"${pans%, }\"" -e "shade=\"$shade\"" "$ROOT/scripts/demo_levels.gp"
}
if ((DO_PLOT)); then
  if command -v gnuplot >/dev/null; then
    plot
  else
    echo "== gnuplot not available: no plot"
  fi
fi

echo
echo "== files"
echo "listener's audio:       $OUT/listener.wav"
[ -f "$OUT/levels.png" ] && echo "plot of the levels:     $OUT/levels.png"
echo "applied levels (CSV):   $OUT/levels.csv"
echo "creature paths (CSV):   $OUT/paths.csv"
echo "plug-in's log:          $OUT/plugin/quorra_link.log"
