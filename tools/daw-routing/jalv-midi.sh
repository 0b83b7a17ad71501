#!/usr/bin/env bash
# Plays a companion plug-in from MIDI in jalv, on a private JACK server with
# the dummy back end: jack_midiseq loops the chords given, each held for
# HOLD seconds, into the plug-in's MIDI input, with notes_from set to MIDI;
# jack_metro's clicks excite the tubes through every audio input; jack_rec
# records the stereo output and jack_midi_dump logs what the sequencer sent.
#
#   jalv-midi.sh OUT_PREFIX PLUGIN_URI SECONDS DECAY HOLD CHORD...
#     CHORD: MIDI keys joined by commas, e.g. 65,70,75,80
#   -> OUT_PREFIX.wav (stereo), OUT_PREFIX.midi.log (jack_midi_dump),
#      OUT_PREFIX.ports.log (the connections made)
# More controls for jalv: JALV_CONTROLS="width=0 mix=100".
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=../lib/jack_server.sh
. "$here/../lib/jack_server.sh"
prefix="$1" uri="$2" seconds="$3" decay="$4" hold="$5"
shift 5
chords=("$@")
rate=48000
fail() { echo "FAIL: $*" >&2; for log in jackd jalv metro rec seq; do [ -f "$work/$log.log" ] && tail -n 20 "$work/$log.log" | sed "s/^/$log: /" >&2; done; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/ostrevan-jalv-midi.XXXXXX")"
clients=()
cleanup() {
  for pid in "${clients[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  stop_jack_server
  rm -rf "$work"
}
trap cleanup EXIT
start_jack_server ostrevan-midi "$work/jackd.log" || fail "no JACK server could be started"

# The loop: chord k starts at k * HOLD seconds and is held for all of it but
# the last 10 ms, so that every key is up before the next chord comes.
hold_frames="$(awk -v h="$hold" -v r="$rate" 'BEGIN { printf "%d", h * r }')"
sequence=()
for k in "${!chords[@]}"; do
  IFS=, read -r -a keys <<<"${chords[$k]}"
  for key in "${keys[@]}"; do
    sequence+=("$((k * hold_frames))" "$key" "$((hold_frames - rate / 100))")
  done
done
loop_frames="$((${#chords[@]} * hold_frames))"

controls=(-c "decay=$decay" -c notes_from=1)
for control in ${JALV_CONTROLS:-}; do controls+=(-c "$control"); done
jalv -n tubes -x "${controls[@]}" "$uri" < <(sleep $((seconds + 6))) >"$work/jalv.log" 2>&1 &
jalv_pid=$!
clients+=("$jalv_pid")
jack_metro -n metro -b 240 -f 330 -D 20 -A 0.5 >"$work/metro.log" 2>&1 &
clients+=($!)

for _ in $(seq 50); do
  ports="$(jack_lsp 2>/dev/null)"
  grep -q '^tubes:out_right$' <<<"$ports" && grep -q '^metro:' <<<"$ports" && break
  sleep 0.1
done
grep -q '^tubes:out_right$' <<<"$ports" || fail "jalv did not create the plug-in's ports"
grep -q '^tubes:midi_in$' <<<"$ports" || fail "jalv made no port for the MIDI input"
metro="$(grep -m1 '^metro:' <<<"$ports")" || fail "the metronome did not start"
for input in $(grep -E '^tubes:in(_left|_right)?$' <<<"$ports"); do
  jack_connect "$metro" "$input" || fail "cannot connect $input"
done

# The dump listens before the sequencer starts, so it sees every event.
jack_midi_dump -a dump >"$prefix.midi.log" 2>"$work/dump.log" &
clients+=($!)
jack_midiseq keys "$loop_frames" "${sequence[@]}" >"$work/seq.log" 2>&1 &
clients+=($!)
for _ in $(seq 50); do
  ports="$(jack_lsp 2>/dev/null)"
  grep -q '^keys:' <<<"$ports" && grep -q '^dump:' <<<"$ports" && break
  sleep 0.1
done
keys_port="$(grep -m1 '^keys:' <<<"$ports")" || fail "jack_midiseq made no port"
dump_port="$(grep -m1 '^dump:' <<<"$ports")" || fail "jack_midi_dump made no port"
jack_connect "$keys_port" "$dump_port" || fail "cannot connect the dump"
jack_connect "$keys_port" tubes:midi_in || fail "cannot connect the keys to tubes:midi_in"

jack_rec -f "$prefix.wav" -d "$seconds" -b 32 tubes:out_left tubes:out_right >"$work/rec.log" 2>&1 \
  || fail "jack_rec failed"
{
  echo "midi sequence: loop of $loop_frames frames: ${sequence[*]} (start key length)"
  for port in tubes:midi_in $(grep -E '^tubes:in' <<<"$ports"); do
    echo "$port <- $(jack_lsp -c "$port" | tail -n +2 | tr -d ' \t' | tr '\n' ' ')"
  done
} >"$prefix.ports.log"
# jalv prints the controls it was given as it starts; its output is complete
# once it has quit.
kill "$jalv_pid" 2>/dev/null; wait "$jalv_pid" 2>/dev/null
grep -E '^(notes_from|decay|width|mix|tuning|input) =' "$work/jalv.log" >>"$prefix.ports.log"
grep -q '^notes_from = 1' "$work/jalv.log" || fail "jalv did not set notes_from to MIDI"
exit 0
