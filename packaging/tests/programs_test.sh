#!/usr/bin/env bash
# Every program answers --help and --version and starts nothing else:
# --help prints its usage ("usage: NAME ...") and --version "NAME VERSION" on
# standard output, nothing on standard error, status 0, and a failed write of
# that answer (a full disk) is status 1. Where a manual page is given, it
# documents every long option the usage lists.
# Usage: programs_test.sh VERSION NAME=PATH[=MANUAL]...
#
# The programs run where starting would show: standard input is a pipe that
# never ends (a program that serves or reads its input never returns and the
# time limit catches it); there is no display and Qt must use xcb (making the
# application object aborts the key manager); a stand-in key manager runs
# under the name the agent signals (the agent asks running key managers to
# quit as it starts), and it must still be running afterwards.
set -uo pipefail
version=$1; shift
status=0
fail() { echo "FAIL: $*"; status=1; }

work=$(mktemp -d)
standin=
cleanup() {
  [ -n "$standin" ] && kill "$standin" 2>/dev/null
  exec 5>&- 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/input"
exec 5<>"$work/input"   # open for reading and writing: never at its end
cp "$(command -v sleep)" "$work/kelvane"
"$work/kelvane" 600 &
standin=$!
mkdir -m 700 "$work/keys" "$work/locks"

run() {  # run NAME PATH ARGS... > out, 2> err; prints the status
  local path=$1; shift
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb \
      KEYSIM_DIR="$work/keys" QD_USB_BACKEND=sim \
      QD_MANAGER_EXECUTABLE="$work/kelvane" QD_MANAGER_LOCK_DIR="$work/locks" \
      timeout 20 "$path" "$@" <&5
}

for pair in "$@"; do
  name=${pair%%=*} path=${pair#*=} manual=
  case $path in *=*) manual=${path#*=} path=${path%%=*} ;; esac
  [ -x "$path" ] || { fail "$name: $path is not built"; continue; }

  run "$path" --help > "$work/out" 2> "$work/err"
  rc=$?
  [ $rc -eq 0 ] || fail "$name --help: status $rc$([ $rc -eq 124 ] && echo ' (still running after 20 s)')"
  head -1 "$work/out" | grep -q "^usage: $name\( \|\$\)" ||
    fail "$name --help: first line is not its usage: $(head -1 "$work/out")"
  [ -s "$work/err" ] && fail "$name --help wrote to standard error: $(head -3 "$work/err")"

  run "$path" --version > "$work/out" 2> "$work/err"
  rc=$?
  [ $rc -eq 0 ] || fail "$name --version: status $rc$([ $rc -eq 124 ] && echo ' (still running after 20 s)')"
  [ "$(cat "$work/out")" = "$name $version" ] || fail "$name --version: '$(head -3 "$work/out")', not '$name $version'"
  [ -s "$work/err" ] && fail "$name --version wrote to standard error: $(head -3 "$work/err")"

  for ask in --help --version; do
    run "$path" $ask > /dev/full 2> /dev/null
    rc=$?
    [ $rc -eq 1 ] || fail "$name $ask into a full disk: status $rc, not 1"
  done
  if [ -n "$manual" ]; then
    run "$path" --help > "$work/usage" 2> /dev/null
    LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$manual" 2> "$work/man.err" | col -b > "$work/manual"
    [ -s "$work/man.err" ] && fail "$name: man -l $manual: $(head -3 "$work/man.err")"
    for option in $(grep -o -- '--[a-z][a-z-]*' "$work/usage" | sort -u); do
      grep -q -- "$option\b" "$work/manual" || fail "$name: its manual page does not document $option"
    done
  fi
  echo "$name: --help and --version answered"
done

# The agent takes no other argument: it refuses one, and does not start.
for pair in "$@"; do
  [ "${pair%%=*}" = marrowby ] || continue
  path=${pair#*=}
  run "${path%%=*}" --watch > "$work/out" 2> "$work/err"
  rc=$?
  [ $rc -eq 2 ] || fail "marrowby --watch: status $rc, not 2$([ $rc -eq 124 ] && echo ' (it started)')"
  grep -q "unexpected argument" "$work/err" || fail "marrowby --watch: no refusal on standard error"
done

kill -0 "$standin" 2>/dev/null || fail "a program asked to quit the running key manager"
exit $status
