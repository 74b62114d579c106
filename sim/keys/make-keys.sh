#!/usr/bin/env bash
# Makes the demo deployment's key pairs (test data only, never for a real
# deployment): RSA-1024 application key, RSA-1024 platform key, SM2 platform
# key, each private half as PEM and the public half as the hex text the
# password encryption library takes. Rerunning replaces them, after which the
# default application modulus in security/CMakeLists.txt must be updated too.
set -euo pipefail
cd "$(dirname "$0")"
openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out app_rsa1024.pem
openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out platform_rsa1024.pem
openssl genpkey -quiet -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out platform_sm2.pem
for k in app_rsa1024 platform_rsa1024; do
  openssl rsa -in $k.pem -noout -modulus | sed 's/^Modulus=//' > $k.modulus.hex
done
# The last 64 bytes of the SubjectPublicKeyInfo are X then Y.
openssl pkey -in platform_sm2.pem -pubout -outform DER | tail -c 64 | od -An -v -tx1 |
  tr -d ' \n' | tr a-f A-F > platform_sm2.pub.hex
echo >> platform_sm2.pub.hex
