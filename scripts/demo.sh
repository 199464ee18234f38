#!/usr/bin/env bash
# The main job: set up a fresh machine, build Tonvia, install the plug-in into ~/.vst3, show
# what a VST3 host sees of it, then start tonvia-server on loopback and walk the whole road
# through the plug-in's own windows: register, add a friend, start a session with oneself from
# a send window and a receive window, connect both, choose the stream and stream a test signal
# (or the WAV file named as the first argument), with a summary at the end.
#   scripts/demo.sh [IN.wav]
set -euo pipefail
cd "$(dirname "$0")/.."
input=${1:-}
[ -z "$input" ] || input=$(realpath "$input")

scripts/setup.sh
scripts/build.sh build -- Tonvia_VST3 tonvia-host tonvia-server tonvia-demo

bundle=build/src/Tonvia_artefacts/RelWithDebInfo/VST3/Tonvia.vst3
host=build/tools/host/tonvia-host_artefacts/RelWithDebInfo/tonvia-host
server=build/server/tonvia-server
demo=build/tools/demo/tonvia-demo

mkdir -p "$HOME/.vst3" out
rm -rf "$HOME/.vst3/Tonvia.vst3"
cp -r "$bundle" "$HOME/.vst3/"
echo "Installed $HOME/.vst3/Tonvia.vst3"
echo
echo "== What a host sees"
"$host" info "$HOME/.vst3/Tonvia.vst3"
echo
echo "== Bus layouts"
"$host" layouts "$HOME/.vst3/Tonvia.vst3"
echo

echo "== Streaming through tonvia-server on loopback"
"$server" --port 0 --db out/demo.db > out/server.port 2> out/server.log &
server_pid=$!
trap 'kill -TERM $server_pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s out/server.port ] && break; sleep 0.05; done
port=$(head -n1 out/server.port)
echo "tonvia-server listening on 127.0.0.1:$port (log: out/server.log)"

source_args=(--signal sine --seconds 3)
[ -z "$input" ] || source_args=(--in "$input")
"$demo" --api "http://127.0.0.1:$port" --relay "ws://127.0.0.1:$port" "${source_args[@]}" --out out/received.wav --snapshots out/windows

kill -TERM $server_pid
wait $server_pid
trap - EXIT
echo "tonvia-server stopped cleanly"
