#!/usr/bin/env bash
# The staged login start files and menu entries through their validators:
# desktop-file-validate for every entry, systemd-analyze for the agent's
# unit, appstreamcli for the AppStream data and the entries it launches.
# Usage: validate.sh STAGE UNIT ENTRY... (UNIT and ENTRY as installed, absolute).
# Exits 77 (skipped) only when a validator is not installed.
set -uo pipefail
stage=$1 unit=$2
shift 2
for tool in desktop-file-validate systemd-analyze appstreamcli; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool not installed (scripts/setup installs it)"; exit 77; }
done
status=0

# desktop-file-validate prints nothing for a clean entry; hints count as faults.
for entry in "$@"; do
  out=$(desktop-file-validate "$stage$entry" 2>&1)
  if [ $? -ne 0 ] || [ -n "$out" ]; then
    echo "desktop-file-validate $entry:"; echo "$out"; status=1
  else
    echo "desktop-file-validate $entry: clean"
  fi
done

# systemd-analyze --user needs a runtime folder to set up a user manager's
# paths (a session without one, as a container's root shell, fails with
# "Failed to lookup RuntimeDirectory path"), so it gets a private one.
# It checks that ExecStart is executable on this machine: the copy it
# verifies names the staged agent (the layout test checks the path itself).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"
name=$(basename "$unit")
sed "s|^ExecStart=|ExecStart=$stage|" "$stage$unit" > "$work/$name"
# Unknown keys are reported but do not change its status: any output is a fault.
out=$(XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify --man=no "$work/$name" 2>&1)
if [ $? -ne 0 ] || [ -n "$out" ]; then
  echo "systemd-analyze --user verify $unit:"; echo "$out"; status=1
else
  echo "systemd-analyze --user verify $unit: clean"
fi

# Every AppStream file with the entry it launches, offline, at the pedantic
# level: a clean tree gives one line of success and nothing else.
metainfo=$(cd "$stage" && ls usr/share/metainfo/*.xml 2>/dev/null)
if [ -z "$metainfo" ]; then
  echo "no AppStream data in the stage"; status=1
fi
out=$(appstreamcli validate-tree --pedantic --no-net --explain "$stage" 2>&1)
if [ $? -ne 0 ] || [ "$(printf '%s\n' "$out" | grep -cv '^\s*$')" -ne 1 ] ||
   ! printf '%s\n' "$out" | grep -q '^✔ Validation was successful\.$'; then
  echo "appstreamcli validate-tree --pedantic:"; echo "$out"; status=1
else
  echo "appstreamcli validate-tree --pedantic $metainfo: clean"
fi
exit $status
