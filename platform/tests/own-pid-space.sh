#!/bin/sh
# Runs a test program in a PID namespace of its own where the system allows
# one (root, or user namespaces): the code under test signals the processes
# it finds by their executable, and a fault there must reach only the test's
# own processes, not every process the user may signal (as root: all).
# A shell is the namespace's first process, so the test program is not: the
# detached processes it launches are adopted and reaped by that shell, as by
# init outside.
if unshare -p -f --mount-proc true 2>/dev/null; then
  exec unshare -p -f --mount-proc sh -c '"$@" & wait $!' own-pid-space "$@"
fi
exec "$@"
