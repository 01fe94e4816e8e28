#!/usr/bin/env bash
# sign_test_file.sh CERTDIR NAME INPUT OUTPUT: signs a copy of a PE file or an MSI package with
# the test certificate NAME of make_test_certificates.sh; OUTPUT is replaced only once complete.
set -euo pipefail
certdir="$1" name="$2" input="$3" output="$4"
mkdir -p "$(dirname "$output")"
rm -f "$output.signing"
# No time stamp: the tests and the demonstration run without network access.
osslsigncode sign -certs "$certdir/$name-chain.crt" -key "$certdir/$name.key" -h sha256 \
  -n "QFUpdate test signature" -in "$input" -out "$output.signing" >/dev/null
mv -f "$output.signing" "$output"
