#!/bin/sh
# The README's signing session: nphost drives the signing plug-in over a
# fresh test token behind the stand-in module, the user's PIN goes into the
# module's PIN window, and OpenSSL verifies the signature against the
# certificate the plug-in exports.
# Usage: nphost_sign_test.sh NPHOST MAKE_TEST_TOKEN BUILD_LIB_DIR BUNDLE_DIR
set -u
nphost=$1 make_token=$2 lib=$3 bundle=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$work/run"

"$make_token" "$work/token" > "$work/conf" || fail "make-test-token"
export $(cat "$work/conf")
export QD_PKCS11_MODULE="$lib/qdpkcs11-darwin.so" QD_CARROW_LIBRARY="$lib/libCarrow_20244.so" QD_BUNDLE_DIR="$bundle"
serial=$(awk -F'\t' '$2 == "02" { print $4 }' "$work/token/manifest")
[ -n "$serial" ] || fail "no certificate 02 in the token"

cat > "$work/sign.txt" <<SCRIPT
new $lib/libombrel.so
call getCertList
set CN "$serial"
set SignData "pay 100 to 6222"
set HashAlgorithm "sha256"
pin 12345678 $work/pin.png
get SignData
call LastError
call SignCert
SCRIPT
"$nphost" "$work/sign.txt" > "$work/out" 2> "$work/err" || fail "nphost: $(cat "$work/err")"
grep -q "^getCertList -> \"CN=.*,$serial;" "$work/out" || fail "list: $(cat "$work/out")"
grep -qx 'LastError -> "OK"' "$work/out" || fail "last error: $(cat "$work/out")"
grep -q '^PIN window saved to ' "$work/out" || fail "the PIN window never came up"
[ -s "$work/pin.png" ] || fail "no picture of the PIN window"

sed -n 's/^SignCert -> "\(.*\)"$/\1/p' "$work/out" | base64 -d > "$work/cert.der" || fail "export"
openssl x509 -inform DER -in "$work/cert.der" -pubkey -noout > "$work/pub.pem" || fail "certificate"
sed -n 's/^SignData -> "UD65001:00000015pay 100 to 6222[0-9]\{8\}\([0-9A-F]*\)"$/\1/p' "$work/out" |
    perl -ne 'chomp; print pack("H*", $_)' > "$work/sig.bin"
[ -s "$work/sig.bin" ] || fail "signed data: $(grep SignData "$work/out")"
printf 'pay 100 to 6222' | openssl dgst -sha256 -verify "$work/pub.pem" -signature "$work/sig.bin" | grep -qx "Verified OK" ||
    fail "the signature does not verify"
printf 'pay 100 to 6223' | openssl dgst -sha256 -verify "$work/pub.pem" -signature "$work/sig.bin" > /dev/null 2>&1 &&
    fail "a changed text verifies"
# Where the browser tells the page's origin, only the allow-list's origins are served.
echo "https://bank.example" > "$work/allowed-origins"
export QD_BRIDGE_SYSTEM_ORIGINS="$work/allowed-origins" XDG_CONFIG_HOME="$work/config"
for origin in https://evil.example https://bank.example; do
    printf 'browser origin %s\nnew %s\ncall getCertList\n' "$origin" "$lib/libombrel.so" > "$work/origin.txt"
    "$nphost" "$work/origin.txt" > "$work/out" 2> "$work/err" || fail "nphost ($origin): $(cat "$work/err")"
    case $origin in
    *evil*) grep -qx 'getCertList -> failed' "$work/out" || fail "a foreign page was served: $(cat "$work/out")" ;;
    *) grep -q "^getCertList -> \"CN=.*,$serial;" "$work/out" || fail "the bank's page: $(cat "$work/out")" ;;
    esac
done
echo "signing session: verified"
