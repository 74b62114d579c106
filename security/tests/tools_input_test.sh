#!/usr/bin/env bash
# dorn-encrypt and dorn-decrypt against bad input and a bad world: key files
# that are not files, a full output device, texts with NUL bytes, modes out of
# range, and the password left in memory at exit.
# Usage: tools_input_test.sh ENCRYPT DECRYPT KEYDIR SECRET_SCAN_LIBRARY
set -uo pipefail
enc=$1 dec=$2 keys=$3 scan=$4
app=$keys/app_rsa1024.modulus.hex
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# expect STATUS STDERR-LINE (exact, or "*" for any one line) -- command...
# Runs with standard input from $input (default empty), a 10 s limit.
input=/dev/null
expect() {
  local want=$1 line=$2; shift 2
  timeout 10 "$@" <"$input" >"$tmp/out" 2>"$tmp/err"
  local rc=$?
  [[ $rc -eq $want ]] || fail "$* gave status $rc, not $want ($(head -c 300 "$tmp/err"))"
  if [[ $line != "-" ]]; then
    [[ $(wc -l <"$tmp/err") -eq 1 ]] || fail "$*: not one line on stderr: $(head -c 300 "$tmp/err")"
    [[ $line == "*" || $(cat "$tmp/err") == "$line" ]] || fail "$*: stderr '$(head -c 300 "$tmp/err")', not '$line'"
  fi
}

# ---- key files that are not regular files: one line, status 1, no wait ----
mkfifo "$tmp/fifo"
printf 'pw' >"$tmp/pw"
input=$tmp/pw
for file in "$tmp" /proc/self/mem /dev/zero "$tmp/fifo" "$tmp/missing"; do
  expect 1 "*" "$enc" --mode 0 --app-key "@$file" --extra 1
  grep -q "^dorn-encrypt: cannot read $file: " "$tmp/err" || fail "key @$file: $(cat "$tmp/err")"
  expect 1 "*" "$dec" --mode 0 --app-key "$file"
  grep -q "^dorn-decrypt: cannot read $file: " "$tmp/err" || fail "key $file: $(cat "$tmp/err")"
done

# ---- modes ----
expect 1 "dorn-encrypt: mode 6 is not one of 0 to 5" "$enc" --mode 6
expect 1 "dorn-encrypt: mode -1 is not one of 0 to 5" "$enc" --mode -1
expect 2 - "$enc" --mode 4294967296
grep -q '^dorn-encrypt: --mode takes an integer$' "$tmp/err" || fail "mode 2^32: $(cat "$tmp/err")"
for mode in 4294967296 -4294967296 6 -1 x ""; do
  expect 2 - "$dec" --mode "$mode" --app-key "$keys/app_rsa1024.pem"
  grep -q '^dorn-decrypt: --mode takes 0 to 5$' "$tmp/err" || fail "decrypt mode '$mode': $(cat "$tmp/err")"
done

# ---- help and unknown options ----
for tool in "$enc" "$dec"; do
  expect 0 - "$tool" --help
  grep -q '^usage: dorn-' "$tmp/out" || fail "$tool --help printed no usage on stdout"
  [[ -s $tmp/err ]] && fail "$tool --help wrote to stderr"
  long=$(head -c 100000 /dev/zero | tr '\0' x)
  expect 2 - "$tool" "--$long" 1
  [[ $(head -n 1 "$tmp/err" | wc -c) -lt 200 ]] || fail "$tool repeats a 100 kB option in its error line"
done

# ---- the text ----
printf 'a\0b' >"$tmp/nul"
input=$tmp/nul
expect 1 "dorn-encrypt: the text holds a NUL byte" "$enc" --mode 0 --app-key "@$app" --extra 1
head -c 1048577 /dev/zero | tr '\0' a >"$tmp/huge"
input=$tmp/huge
expect 1 "dorn-encrypt: the text is longer than 1048576 bytes" "$enc" --mode 0 --app-key "@$app" --extra 1
head -c 1048576 /dev/zero | tr '\0' a >"$tmp/large"
input=$tmp/large
expect 0 - "$enc" --mode 0 --app-key "@$app" --extra 1

# The limit is the text's: its one trailing newline does not count; a
# second one is text.
{ cat "$tmp/large"; echo; } >"$tmp/large-newline"
input=$tmp/large-newline
expect 0 - "$enc" --mode 0 --app-key "@$app" --extra 1
{ cat "$tmp/large"; printf '\n\n'; } >"$tmp/large-newlines"
input=$tmp/large-newlines
expect 1 "dorn-encrypt: the text is longer than 1048576 bytes" "$enc" --mode 0 --app-key "@$app" --extra 1
# A NUL at the first and at the last place of the text, the newline aside.
for text in '\0ab' 'ab\0' 'ab\0\n'; do
  printf "$text" >"$tmp/nul"
  input=$tmp/nul
  expect 1 "dorn-encrypt: the text holds a NUL byte" "$enc" --mode 0 --app-key "@$app" --extra 1
done
# The smallest text: none at all, and a lone newline.
for text in '' '\n'; do
  printf "$text" >"$tmp/empty"
  input=$tmp/empty
  expect 0 - "$enc" --mode 0 --app-key "@$app" --extra 1
  "$dec" --mode 0 --app-key "$keys/app_rsa1024.pem" <"$tmp/out" >"$tmp/opened" 2>&1 || fail "empty text: $(cat "$tmp/opened")"
  grep -qx 'text: ' "$tmp/opened" || fail "empty text came back as: $(cat "$tmp/opened")"
done

# ---- key files: at most 64 KiB, whitespace around the digits dropped ----
input=$tmp/pw
pad_to() {  # size file: the application key, then blanks up to size bytes
  { cat "$app"; head -c $(($1 - $(wc -c <"$app"))) /dev/zero | tr '\0' ' '; } >"$2"
}
pad_to 65536 "$tmp/key-fits"
expect 0 - "$enc" --mode 0 --app-key "@$tmp/key-fits" --extra 1
pad_to 65537 "$tmp/key-over"
expect 1 "dorn-encrypt: cannot read $tmp/key-over: larger than 65536 bytes" "$enc" --mode 0 --app-key "@$tmp/key-over" --extra 1

# ---- mode numbers at the edges of int, and two faults at once ----
expect 1 "dorn-encrypt: mode 2147483647 is not one of 0 to 5" "$enc" --mode 2147483647
expect 1 "dorn-encrypt: mode -2147483648 is not one of 0 to 5" "$enc" --mode -2147483648
for mode in 2147483648 -2147483649 +1 " 1" 1x; do
  expect 2 - "$enc" --mode "$mode"
  grep -q '^dorn-encrypt: --mode takes an integer$' "$tmp/err" || fail "mode '$mode': $(cat "$tmp/err")"
done
# The options are read in order: the first bad one is the one reported.
expect 1 "dorn-encrypt: cannot read $tmp/missing: No such file or directory" \
  "$enc" --app-key "@$tmp/missing" --mode x
expect 2 - "$enc" --mode x --app-key "@$tmp/missing"
grep -q '^dorn-encrypt: --mode takes an integer$' "$tmp/err" || fail "mode before key: $(cat "$tmp/err")"
# A mode out of range is told before the text is read.
printf 'a\0b' >"$tmp/nul"
input=$tmp/nul
expect 1 "dorn-encrypt: mode 7 is not one of 0 to 5" "$enc" --mode 7 --app-key "@$app" --extra 1

# dorn-decrypt reads at most 16 MiB.
head -c 16777217 /dev/zero | tr '\0' A >"$tmp/huge-output"
input=$tmp/huge-output
expect 1 "dorn-decrypt: the input is longer than 16777216 bytes" "$dec" --mode 0 --app-key "$keys/app_rsa1024.pem"

# ---- a full output device: the output is lost, so say so ----
input=$tmp/pw
timeout 10 "$enc" --mode 0 --app-key "@$app" --extra 1 <"$tmp/pw" >/dev/full 2>"$tmp/err"
rc=$?
[[ $rc -eq 1 ]] || fail "output to /dev/full gave status $rc"
[[ $(cat "$tmp/err") == "dorn-encrypt: cannot write the output: No space left on device" ]] ||
  fail "output to /dev/full: $(cat "$tmp/err")"
out=$("$enc" --mode 0 --app-key "@$app" --extra 1 <"$tmp/pw")
timeout 10 "$dec" --mode 0 --app-key "$keys/app_rsa1024.pem" <<<"$out" >/dev/full 2>"$tmp/err"
rc=$?
[[ $rc -eq 1 ]] || fail "decrypt output to /dev/full gave status $rc"

# ---- no copy of the password left in memory at exit ----
# Under AddressSanitizer its runtime must come first; the scan comes after.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
password=$(head -c 560 /dev/urandom | base64 -w0 | tr -d '/+=' | head -c 560)
pin=8642975311
sm2=$(cat "$keys/platform_sm2.pub.hex")
rsa=$keys/platform_rsa1024.modulus.hex
scan_copies() {  # secret, then the dorn-encrypt arguments; prints "AT-EXIT FREED"
  local secret=$1; shift
  printf '%s\n' "$secret" >"$tmp/secret"
  SECRET_SCAN_HEX=$(printf '%s' "$secret" | od -An -v -tx1 | tr -d ' \n') SECRET_SCAN_OUT=$tmp/copies \
    LD_PRELOAD=$scan "$enc" "$@" <"$tmp/secret" >/dev/null 2>"$tmp/err" || fail "$*: $(cat "$tmp/err")"
  cat "$tmp/copies" 2>/dev/null || echo missing
}
for args in "0 --app-key @$app" "2 --app-key @$app --platform-key @$rsa"; do
  secret=$password
  [[ $args == 2* ]] && secret=${password:0:100}
  # shellcheck disable=SC2086
  copies=$(scan_copies "$secret" --mode $args --extra 1)
  [[ $copies == "0 0" ]] || fail "mode ${args%% *}: copies of the password at exit and freed unwiped: $copies"
done
for mode in 3 4 5; do
  copies=$(scan_copies "${password:0:19}" --mode $mode --app-key "@$app" --platform-key "$sm2" --extra 1)
  [[ $copies == "0 0" ]] || fail "mode $mode: copies of the password at exit and freed unwiped: $copies"
done
copies=$(scan_copies "$pin" --mode 1 --platform-key "@$rsa" --extra 12)
[[ $copies == "0 0" ]] || fail "mode 1: copies of the PIN at exit and freed unwiped: $copies"
# The scan itself sees what a program that keeps the text leaves behind.
printf '%s\n' "$password" >"$tmp/secret"
SECRET_SCAN_HEX=$(printf '%s' "$password" | od -An -v -tx1 | tr -d ' \n') SECRET_SCAN_OUT=$tmp/copies \
  LD_PRELOAD=$scan bash -c 'read -r kept' <"$tmp/secret"
read -r kept freed <"$tmp/copies"
[[ $kept -ge 1 ]] || fail "the scan misses the copy a shell variable keeps"

if [[ $failures -ne 0 ]]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "all passed"
