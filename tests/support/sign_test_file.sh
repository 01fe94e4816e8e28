#!/usr/bin/env bash
# Signs a copy of a PE file or an MSI package with one of the test certificates made by
# make_test_certificates.sh.
#
#   sign_test_file.sh CERTDIR NAME INPUT OUTPUT
#
# NAME is publisher, lowercase, tessaran or other. INPUT is left as it was; OUTPUT is replaced
# only once the signed file is complete.
set -euo pipefail

if [ $# -ne 4 ]; then
  echo "usage: $0 CERTDIR NAME INPUT OUTPUT" >&2
  exit 2
fi
certdir="$1" name="$2" input="$3" output="$4"
for file in "$certdir/$name-chain.crt" "$certdir/$name.key"; do
  [ -f "$file" ] || { echo "$0: no $file (run make_test_certificates.sh $certdir)" >&2; exit 1; }
done

mkdir -p "$(dirname "$output")"
partial="$output.signing"
rm -f "$partial"
# No time stamp: the tests and the demonstration run without network access.
osslsigncode sign -certs "$certdir/$name-chain.crt" -key "$certdir/$name.key" -h sha256 \
  -n "QFUpdate test signature" -in "$input" -out "$partial" >/dev/null
mv -f "$partial" "$output"
