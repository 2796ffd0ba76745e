#!/bin/sh
# make_test_pki.sh OUT V1.exe V2.exe: a throwaway test PKI, made afresh at
# build time, and signed copies of the two test service builds.
#   ca.der                 the test root (tests add it to the prefix's trusted roots)
#   v1-pub.exe v2-pub.exe  signed by "QZ Publisher" under the test root
#   v2-pub2.exe            the same publisher under a new key (a renewal)
#   v2-other.exe           another publisher ("QZ Other") under the test root
#   v2-self.exe            "QZ Publisher", self-signed
#   v2-tls.exe             signed under the test root by a certificate for TLS servers, not for code
#   v2-tampered.exe        v2-pub.exe with a byte changed after signing
#   pub.sha256             the SHA-256 of the publisher's certificate
#   v2.sha256              the SHA-256 of v2-pub.exe
#   pub.pfx                the publisher's certificate and key (password "test"), to sign a release
set -eu
out=$1 v1=$2 v2=$3
mkdir -p "$out"
cd "$out"
rm -f ./*.exe ./*.pem ./*.srl

cat >ext.cnf <<'CNF'
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[tls]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
CNF

quiet() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; "$@"; exit 1; }; }

quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
  -subj "/O=QZ/CN=QZ Test Root" -extensions ca -config ext.cnf -set_serial 1
quiet openssl x509 -in ca.pem -outform DER -out ca.der

leaf() {  # name subject [extensions]
  quiet openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2"
  quiet openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -out "$1.pem" -days 3650 \
    -extfile ext.cnf -extensions "${3:-leaf}" -set_serial "0x$(openssl rand -hex 8)"
}
leaf pub "/O=QZ/CN=QZ Publisher"
leaf pub2 "/O=QZ/CN=QZ Publisher"
leaf other "/O=QZ/CN=QZ Other"
leaf tls "/O=QZ/CN=qz.example" tls
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem -days 3650 \
  -subj "/O=QZ/CN=QZ Publisher" -extensions leaf -config ext.cnf -set_serial 7

sign() {  # key input output
  quiet osslsigncode sign -certs "$1.pem" -key "$1.key" -h sha256 -n "QZ test service" -in "$2" -out "$3"
}
sign pub "$v1" v1-pub.exe
sign pub "$v2" v2-pub.exe
sign pub2 "$v2" v2-pub2.exe
sign other "$v2" v2-other.exe
sign self "$v2" v2-self.exe
sign tls "$v2" v2-tls.exe

# One byte of the code changed after signing: the signature no longer
# matches the file.
cp v2-pub.exe v2-tampered.exe
offset=$(( $(stat -c %s v2-pub.exe) / 3 ))
byte=$(od -An -tu1 -j "$offset" -N1 v2-pub.exe | tr -d ' ')
printf "\\$(printf %03o $(( (byte + 1) % 256 )))" | dd of=v2-tampered.exe bs=1 seek="$offset" conv=notrunc status=none

quiet openssl pkcs12 -export -in pub.pem -inkey pub.key -out pub.pfx -passout pass:test
openssl x509 -in pub.pem -outform DER | sha256sum | cut -d' ' -f1 >pub.sha256
sha256sum v2-pub.exe | cut -d' ' -f1 >v2.sha256
