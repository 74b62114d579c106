#!/usr/bin/env bash
# dorn-encrypt piped into dorn-decrypt for every mode with the demo keys;
# keys given inline and as @FILE. Usage: tools_roundtrip.sh ENCRYPT DECRYPT KEYDIR
set -euo pipefail
enc=$1 dec=$2 keys=$3
app=@$keys/app_rsa1024.modulus.hex
rsa=@$keys/platform_rsa1024.modulus.hex
sm2=$(cat "$keys/platform_sm2.pub.hex")
fail() { echo "tools_roundtrip: $*" >&2; exit 1; }

expect_field() {  # output, field, value
  grep -qxF "$2: $3" <<<"$1" || fail "expected '$2: $3' in: $1"
}

out=$(printf 'secret pw\n' | "$enc" --mode 0 --app-key "$app" --extra 1700000000)
res=$("$dec" --mode 0 --app-key "$keys/app_rsa1024.pem" <<<"$out")
expect_field "$res" timestamp 1700000000
expect_field "$res" text "secret pw"

out=$(printf '123456' | "$enc" --mode 1 --platform-key "$rsa" --extra ABCDEF)
[[ ${#out} -eq 528 ]] || fail "mode 1 output is ${#out} characters"
res=$("$dec" --mode 1 --platform-key "$keys/platform_rsa1024.pem" <<<"$out")
expect_field "$res" pin-block 123456FFFFFFFFFF

out=$(printf 'hunter2\n' | "$enc" --mode 2 --app-key "$app" --platform-key "$rsa" --extra 5)
res=$("$dec" --mode 2 --app-key "$keys/app_rsa1024.pem" --platform-key "$keys/platform_rsa1024.pem" <<<"$out")
expect_field "$res" text hunter2

for mode in 3 4 5; do
  out=$(printf 'pw%s\n' $mode | "$enc" --mode $mode --app-key "$app" --platform-key "$sm2" --extra 77)
  res=$("$dec" --mode $mode --app-key "$keys/app_rsa1024.pem" --platform-key "$keys/platform_sm2.pem" <<<"$out")
  expect_field "$res" timestamp 77
  expect_field "$res" text "pw$mode"
done

# No output: exit 1 with the library's message on stderr.
set +e
err=$(printf 'pw' | "$enc" --mode 0 --extra 1 2>&1 >/dev/null); rc=$?
set -e
[[ $rc -eq 1 ]] || fail "missing key gave exit $rc"
[[ $err == "You must initialize the library first!" ]] || fail "unexpected message: $err"
set +e
"$enc" --mode 6 </dev/null >/dev/null 2>&1; rc=$?
"$enc" --bogus 1 </dev/null >/dev/null 2>&1; rc2=$?
set -e
[[ $rc -eq 1 && $rc2 -eq 2 ]] || fail "mode 6 gave $rc, bad option gave $rc2"
# A tampered envelope does not open.
out=$(printf 'pw' | "$enc" --mode 0 --app-key "$app" --extra 1)
if "$dec" --mode 0 --app-key "$keys/app_rsa1024.pem" <<<"${out:0:40}AAAA${out:44}" >/dev/null 2>&1; then
  fail "tampered envelope opened"
fi
echo "1 passed, 0 failed"
