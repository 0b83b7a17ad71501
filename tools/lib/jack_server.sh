# Sourced by the scripts that run hosts on JACK: start_jack_server PREFIX LOG
# starts a JACK server of our own on the dummy back end (48 kHz, 256 frames)
# and exports its name as JACK_DEFAULT_SERVER; JACK_SERVER_PID holds its
# process. stop_jack_server stops it with SIGTERM, so that it leaves JACK's
# registry of servers, which holds only a few. The name is one of a few
# fixed ones: a server that died without leaving the registry frees its
# entry when the next one of that name starts.
JACK_SERVER_PID=""

start_jack_server() {
  local prefix="$1" log="$2" n
  export JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1
  for n in 0 1 2 3; do
    export JACK_DEFAULT_SERVER="$prefix-$n"
    [ "$(jack_wait -c 2>/dev/null)" = running ] && continue
    jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >"$log" 2>&1 &
    JACK_SERVER_PID=$!
    jack_wait -w -t 10 >/dev/null 2>&1 && return 0
    kill -TERM "$JACK_SERVER_PID" 2>/dev/null; wait "$JACK_SERVER_PID" 2>/dev/null
    JACK_SERVER_PID=""
  done
  return 1
}

stop_jack_server() {
  [ -n "$JACK_SERVER_PID" ] || return 0
  kill -TERM "$JACK_SERVER_PID" 2>/dev/null; wait "$JACK_SERVER_PID" 2>/dev/null
  JACK_SERVER_PID=""
}
