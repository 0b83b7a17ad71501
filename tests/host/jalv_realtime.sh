#!/usr/bin/env bash
# jalv runs the plug-in in real time as a JACK client, on a private JACK
# server with the dummy back end (no sound card needed). A metronome clicks
# into all four tubes and jack_rec records their outputs for three seconds:
# every tube must sound at its pitch, every sample be finite, and jalv must
# end cleanly.
set -uo pipefail
# shellcheck source=../../tools/lib/jack_server.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../tools/lib/jack_server.sh"
fail() { echo "FAIL: $*" >&2; for log in jackd jalv metro; do [ -f "$work/$log.log" ] && sed "s/^/$log: /" "$work/$log.log" >&2; done; exit 1; }
for tool in jackd jalv jack_wait jack_lsp jack_connect jack_metro jack_rec; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (packages jalv, jackd2)"; exit 77; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/ostrevan-jalv.XXXXXX")"
clients=()
# The clients leave first and the server last.
cleanup() {
  for pid in "${clients[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  stop_jack_server
  rm -rf "$work"
}
trap cleanup EXIT
# A server of our own, so that parallel runs and a user's JACK never meet.
start_jack_server ostrevan-test "$work/jackd.log" || fail "no JACK server could be started"

# jalv reads commands from its standard input and quits when it ends.
jalv -n tubes -x -c decay=400 "$PLUGIN_URI" < <(sleep 7) >"$work/jalv.log" 2>&1 &
jalv_pid=$!
clients+=("$jalv_pid")
jack_metro -n metro -b 240 -f 330 -D 20 -A 0.5 >"$work/metro.log" 2>&1 &
clients+=($!)

for _ in $(seq 50); do
  ports="$(jack_lsp 2>/dev/null)"
  grep -q '^tubes:out_4$' <<<"$ports" && grep -q '^metro:' <<<"$ports" && break
  sleep 0.1
done
grep -q '^tubes:out_4$' <<<"$ports" || fail "jalv did not create the plug-in's ports"
metro_port="$(grep -m1 '^metro:' <<<"$ports")" || fail "the metronome did not start"
for k in 1 2 3 4; do
  jack_connect "$metro_port" "tubes:in_$k" || fail "cannot connect $metro_port to tubes:in_$k"
done

jack_rec -f "$work/tubes.wav" -d 3 -b 24 tubes:out_1 tubes:out_2 tubes:out_3 tubes:out_4 \
  >"$work/rec.log" 2>&1 || fail "jack_rec failed: $(cat "$work/rec.log")"

wait "$jalv_pid"
status=$?
[ "$status" -eq 0 ] || fail "jalv exited with $status"
grep -qi -e error -e fail -e 'not found' "$work/jalv.log" && fail "jalv reported a problem"
grep -q '^decay = 400' "$work/jalv.log" || fail "jalv did not set the decay control"

# The default chord at the decay set above. The clicks come four times a
# second, so the spectrum is a comb of 4 Hz lines, and the peak lands on a
# line next to the resonance: at most 4 Hz off, about 25 cents at the lowest
# tube. A wrong note is 100 cents off or more.
report="$("$WAV_PROBE" "$work/tubes.wav" 1 100 1000 400 60 64 67 72)" || fail "cannot read the recording"
echo "$report"
channels="$(grep -c '^channel' <<<"$report")"
[ "$channels" -eq 4 ] || fail "recorded $channels channels, not 4"
while read -r _ k _ level _ finite _ _ _ _ _ _ _ off; do
  [ "$finite" = yes ] || fail "tube $k wrote a non-finite sample"
  awk -v r="$level" 'BEGIN { exit !(r > 1e-5) }' || fail "tube $k is silent (rms $level)"
  awk -v c="$off" 'BEGIN { exit !(c > -30 && c < 30) }' || fail "tube $k is $off cents off its pitch"
done < <(grep '^channel' <<<"$report")
echo "jalv ran the plug-in for 3 s in real time on JACK's dummy back end"
