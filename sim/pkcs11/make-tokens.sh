#!/bin/sh
# The test tokens, made afresh for each test run: ROOT/one holds
# "QD Key A", ROOT/two "QD Key A" and "QD Key B"; the keys are made once.
# Usage: make-tokens.sh ROOT
set -eu
root=$1
here=$(dirname "$0")
rm -rf "$root"
"$here/../../scripts/make-test-token" --pki "$root/pki" "$root/one" >/dev/null
"$here/../../scripts/make-test-token" --second-key --pki "$root/pki" "$root/two" >/dev/null
