#!/bin/sh
# nphost as a person uses it: the README's session on the password field,
# the envelope opened again with the demo private key, and bad scripts that
# end in one line with a non-zero status.
# Usage: nphost_test.sh NPHOST PLUGIN DORN_DECRYPT KEYS_DIR OTHER_LIBRARY
set -u
nphost=$1 plugin=$2 decrypt=$3 keys=$4 other=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$work/run"
# Under LeakSanitizer the list of suppressions used is not an error line.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}print_suppressions=0"
fail() { echo "FAIL: $*" >&2; exit 1; }

cat > "$work/session" <<SCRIPT
new $plugin width=220 height=30
listen eventReturn
focus on
click 20 15
type s3cret_pw
key return
call verify
call getValue
draw $work/field.png
SCRIPT
"$nphost" "$work/session" > "$work/out" 2> "$work/err" || fail "session exit $?: $(cat "$work/err")"
grep -qx 'event eventReturn()' "$work/out" || fail "no Return event: $(cat "$work/out")"
grep -qx 'verify -> 0' "$work/out" || fail "verify: $(cat "$work/out")"
grep -qx 'cursor I-beam' "$work/out" || fail "cursor: $(cat "$work/out")"
envelope=$(sed -n 's/^getValue -> "\(.*\)"$/\1/p' "$work/out")
[ -n "$envelope" ] || fail "no envelope"
printf '%s' "$envelope" | "$decrypt" --mode 0 --app-key "$keys/app_rsa1024.pem" > "$work/plain" || fail "decrypt"
grep -qx 'text: s3cret_pw' "$work/plain" || fail "decrypted: $(cat "$work/plain")"
[ -s "$work/field.png" ] || fail "no picture"
[ ! -s "$work/err" ] || fail "stderr: $(cat "$work/err")"

# Bad scripts: one line on stderr naming the line, status 2 (script) or 1 (plug-in).
check() {  # expected-status expected-stderr-part script...
    status=$1 part=$2; shift 2
    printf '%s\n' "$@" > "$work/bad"
    "$nphost" "$work/bad" > "$work/out" 2> "$work/err"
    rc=$?
    [ "$rc" = "$status" ] || fail "'$*': status $rc, wanted $status"
    [ "$(wc -l < "$work/err")" = 1 ] || fail "'$*': stderr $(cat "$work/err")"
    grep -q -- "$part" "$work/err" || fail "'$*': stderr $(cat "$work/err")"
}
check 2 "line 1: no plug-in instance" "type abc"
check 2 "line 2: unknown action 'frobnicate'" "new $plugin" "frobnicate"
check 2 "unterminated text" "new $plugin" 'call setCalcFactor "abc'
check 2 "not a value: abc" "new $plugin" "call setCalcFactor abc"
check 2 "unknown key: hyper" "new $plugin" "key hyper"
check 2 "number out of the 32-bit range" "new $plugin" "set minLength 9999999999"
check 2 "cannot write" "new $plugin" "draw /nonexistent/dir/x.png"
check 2 "browser settings come before" "new $plugin" "browser cocoa no"
check 1 "cannot load the plug-in" "new $work/missing.so"
check 1 "not a plug-in" "new $other"
check 1 "NPP_New refused the instance: error 8" "browser cocoa no" "new $plugin"
grep -qx "no supportsCocoa" "$work/out" || fail "negotiation line: $(cat "$work/out")"
"$nphost" "$work/no-such-script" 2> "$work/err"; [ $? = 2 ] || fail "missing script"
"$nphost" --help | grep -q "^usage: nphost" || fail "--help"
echo "nphost: all cases passed"
