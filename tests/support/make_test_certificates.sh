#!/usr/bin/env bash
# make_test_certificates.sh OUTDIR: makes a throwaway certificate authority (ca.crt, ca.key)
# and, for each NAME below, NAME.key, NAME.crt and NAME-chain.crt (the leaf, then the CA), then
# certificates.stamp, for the build's signing of tests and the demonstration:
#   publisher  O=Quillfern Software Inc., CN=Quillfern Code Signing   (the product's publisher)
#   tessaran   O=Tessaran Software Corp                               (the second publisher name)
#   other      O=Other Vendor Ltd                                     (somebody else)
set -euo pipefail
outdir="$1"
mkdir -p "$outdir"
work=$(mktemp -d "$outdir/.making.XXXXXX")
trap 'rm -rf "$work"' EXIT

days=3650
serial() { echo "0x$(openssl rand -hex 8)"; }

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$days" -set_serial "$(serial)" \
  -subj "/O=QFUpdate Test/CN=QFUpdate Test Signing CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout "$work/ca.key" -out "$work/ca.crt" 2>/dev/null

cat >"$work/leaf.ext" <<'EXT'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EXT

make_leaf() {  # make_leaf NAME SUBJECT
  local name="$1" subject="$2"
  openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "$subject" \
    -keyout "$work/$name.key" -out "$work/$name.csr" 2>/dev/null
  openssl x509 -req -sha256 -days "$days" -set_serial "$(serial)" -in "$work/$name.csr" \
    -CA "$work/ca.crt" -CAkey "$work/ca.key" -extfile "$work/leaf.ext" -out "$work/$name.crt" 2>/dev/null
  cat "$work/$name.crt" "$work/ca.crt" >"$work/$name-chain.crt"
  rm -f "$work/$name.csr"
}

make_leaf publisher "/O=Quillfern Software Inc./CN=Quillfern Code Signing"
make_leaf tessaran "/O=Tessaran Software Corp"
make_leaf other "/O=Other Vendor Ltd"

chmod 600 "$work"/*.key
rm -f "$work/leaf.ext"
mv -f "$work"/* "$outdir"/
touch "$outdir/certificates.stamp"
