#!/bin/sh
# Runs one test command in a /tmp of its own:
#
#   private_tmp.sh COMMAND [ARGS...]
#
# The log file's path is fixed in /tmp, which every process on the machine
# shares: another run of the suites, or a host using the plug-in, may create,
# fill or remove it at any moment. The tests that use the path therefore run
# in a mount namespace with a fresh tmpfs at /tmp, seen by nothing else, where
# the kernel allows one (root, or a user namespace for anyone else). Where it
# does not, they run under an exclusive lock that every run of the suites
# takes, so that two runs never use the path at once; a host is then not kept
# out, and the command is told so through OSTREVAN_LOG_ISOLATION.
set -eu

if [ "$#" -eq 0 ]; then
  echo "usage: private_tmp.sh COMMAND [ARGS...]" >&2
  exit 2
fi
# Already inside one: the test's own helpers need no second.
if [ -n "${OSTREVAN_LOG_ISOLATION:-}" ]; then
  exec "$@"
fi

here="$(cd "$(dirname "$0")" && pwd)"
for namespace in "--mount" "--user --map-root-user --mount"; do
  # shellcheck disable=SC2086  # the options are words
  if unshare $namespace --propagation private sh -c 'mount -t tmpfs ostrevan-tmp /tmp' 2>/dev/null; then
    export OSTREVAN_LOG_ISOLATION=private-tmp
    # shellcheck disable=SC2086
    exec unshare $namespace --propagation private "$here/fresh_tmp.sh" "$@"
  fi
done

# The lock lives beside the path it guards, in the shared /tmp, so that every
# run on the machine finds the same one.
export OSTREVAN_LOG_ISOLATION=lock
echo "private_tmp.sh: no mount namespace here; serialised on /tmp/ostrevan-tests.lock" \
  "(a host using the log meanwhile is not kept out)" >&2
exec flock /tmp/ostrevan-tests.lock "$@"
