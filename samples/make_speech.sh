#!/bin/sh
# Regenerates samples/speech.wav: synthetic English speech, 8000 Hz mono 16-bit PCM.
# Needs espeak-ng and sox (Debian packages of the same names).
set -eu
cd "$(dirname "$0")"
text="The quick brown fox jumps over the lazy dog. \
Please call the help desk at extension four five six seven if the line is noisy. \
Every channel must sound clear, even when the far end is quiet or shouting. \
She sells sea shells by the sea shore, and the shells she sells are surely sea shells."
espeak-ng -v en-us -s 150 -w speech_22k.wav "$text"
sox speech_22k.wav -r 8000 -c 1 -b 16 -e signed-integer speech.wav gain -n -3
rm -f speech_22k.wav
