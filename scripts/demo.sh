#!/usr/bin/env bash
# The main job: set up a fresh machine, build Tonvia, install the plug-in into ~/.vst3 and
# show what a VST3 host sees of it, then run a test signal through it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build.sh build -- Tonvia_VST3 tonvia-host

bundle=build/src/Tonvia_artefacts/RelWithDebInfo/VST3/Tonvia.vst3
host=build/tools/host/tonvia-host_artefacts/RelWithDebInfo/tonvia-host

mkdir -p "$HOME/.vst3"
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
mkdir -p out
echo "== A 2-second test signal through the plug-in in send mode (out/send-mode.wav)"
"$host" process "$HOME/.vst3/Tonvia.vst3" --signal sine --seconds 2 --rate 48000 --block 512 --out out/send-mode.wav
