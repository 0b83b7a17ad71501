#!/bin/sh
# Run inside a new mount namespace: mounts a fresh tmpfs at /tmp, then runs
#
#   fresh_tmp.sh COMMAND [ARGS...]
#
# A checkout may itself lie under /tmp (git clone . /tmp/x): the folders under
# /tmp that the current directory and the command's absolute arguments lie
# in are bound back into the fresh /tmp, so the build and the sources stay
# where they were. Everything else at /tmp, the log file's path included, is
# the namespace's own.
set -eu

keep=""
for path in "$PWD" "$@"; do
  case "$path" in
  /tmp/?*)
    top=${path#/tmp/}
    top=${top%%/*}
    case " $keep " in
    *" $top "*) ;;
    *) keep="$keep $top" ;;
    esac
    ;;
  esac
done

here=$PWD
# The old /tmp stays reachable as the current directory once covered.
cd /tmp
mount -t tmpfs -o mode=1777 ostrevan-tmp /tmp
for top in $keep; do
  if [ -d "./$top" ] && [ ! -L "./$top" ]; then
    mkdir -p "/tmp/$top"
    # mount would resolve ./$top through the new /tmp without this.
    mount --no-canonicalize --bind "./$top" "/tmp/$top"
  fi
done
cd "$here"
exec "$@"
