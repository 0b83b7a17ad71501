#!/usr/bin/env bash
# Renders the plug-in in jalv on a private JACK server with the dummy back end,
# routed as a user patches it in a JACK patchbay: one source (jack_metro's
# clicks) into in_1 .. in_4, out_1 and out_3 into the left input of the
# recorder and out_2 and out_4 into its right, where JACK sums them.
#
#   jalv-render.sh OUT_WAV PLUGIN_URI SECONDS DECAY NOTE_1 .. NOTE_4
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=../lib/jack_server.sh
. "$here/../lib/jack_server.sh"
out="$1" uri="$2" seconds="$3" decay="$4"
shift 4
notes=("$@")
fail() { echo "FAIL: $*" >&2; for log in jackd jalv metro rec; do [ -f "$work/$log.log" ] && tail -n 20 "$work/$log.log" | sed "s/^/$log: /" >&2; done; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/ostrevan-daw-jalv.XXXXXX")"
clients=()
cleanup() {
  for pid in "${clients[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  stop_jack_server
  rm -rf "$work"
}
trap cleanup EXIT
# A server of our own, named apart from the test suite's, so that neither
# meets the other or a user's JACK.
start_jack_server ostrevan-daw "$work/jackd.log" || fail "no JACK server could be started"

controls=(-c "decay=$decay")
for k in 1 2 3 4; do controls+=(-c "note_$k=${notes[$((k - 1))]}"); done
jalv -n tubes -x "${controls[@]}" "$uri" < <(sleep $((seconds + 4))) >"$work/jalv.log" 2>&1 &
clients+=($!)
jack_metro -n metro -b 240 -f 330 -D 20 -A 0.5 >"$work/metro.log" 2>&1 &
clients+=($!)

for _ in $(seq 50); do
  ports="$(jack_lsp 2>/dev/null)"
  grep -q '^tubes:out_4$' <<<"$ports" && grep -q '^metro:' <<<"$ports" && break
  sleep 0.1
done
grep -q '^tubes:out_4$' <<<"$ports" || fail "jalv did not create the plug-in's ports"
metro="$(grep -m1 '^metro:' <<<"$ports")" || fail "the metronome did not start"
for k in 1 2 3 4; do jack_connect "$metro" "tubes:in_$k" || fail "cannot connect tubes:in_$k"; done

# jack_rec connects out_1 and out_2 itself; out_3 and out_4 join them as soon
# as its ports exist, and the first second of the file is left unread.
jack_rec -f "$out" -d "$seconds" -b 32 tubes:out_1 tubes:out_2 >"$work/rec.log" 2>&1 &
rec_pid=$!
for _ in $(seq 50); do
  rec_ports="$(jack_lsp 2>/dev/null | grep -E '^jackrec[^:]*:' || true)"
  [ "$(wc -l <<<"$rec_ports")" -ge 2 ] && [ -n "$rec_ports" ] && break
  sleep 0.05
done
left="$(sed -n 1p <<<"$rec_ports")" right="$(sed -n 2p <<<"$rec_ports")"
[ -n "$right" ] || fail "jack_rec made no input ports"
jack_connect tubes:out_3 "$left" || fail "cannot connect out_3 to $left"
jack_connect tubes:out_4 "$right" || fail "cannot connect out_4 to $right"
echo "routing jalv left $(jack_lsp -c "$left" | tail -n +2 | tr -d ' \t' | tr '\n' ' ')"
echo "routing jalv right $(jack_lsp -c "$right" | tail -n +2 | tr -d ' \t' | tr '\n' ' ')"
wait "$rec_pid" || fail "jack_rec failed"
