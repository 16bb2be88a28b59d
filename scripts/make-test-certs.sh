#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes a test CA and the certificates Modbus/TCP Security needs, with the
# openssl command, into a folder (default: ./tvk-certs):
#
#   ca.pem ca.key                 the test CA
#   server.pem server.key         the server: localhost, 127.0.0.1 and ::1
#   <role>.pem <role>.key         a client certificate carrying the role, for
#                                 each ROLE given (default: operator viewer)
#   norole.pem norole.key         a client certificate without a role
#   expired.pem expired.key       a client certificate (role operator) that
#                                 expired in 2020
#   other-ca.pem stranger.pem     another CA, and a client certificate (role
#   stranger.key                  operator) it signed
#   roles.rules                   rules: operator may write, viewer may read
#
# Usage: make-test-certs.sh [DIR [ROLE...]]
# For testing only: the keys are not protected by a pass phrase.
set -euo pipefail

dir=${1:-tvk-certs}
shift || true
roles=("$@")
[ ${#roles[@]} -gt 0 ] || roles=(operator viewer)
role_oid=1.3.6.1.4.1.50316.802.1

command -v openssl >/dev/null || { echo "make-test-certs.sh: openssl is not installed (Debian: openssl)" >&2; exit 1; }
mkdir -p "$dir"
cd "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

# ca NAME SUBJECT: a self-signed CA.
ca() {
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 3650 -subj "$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# signed NAME SUBJECT CA EXTENSIONS [openssl ca dates...]: a certificate CA signed.
signed() {
  local name=$1 subject=$2 by=$3 ext=$4
  shift 4
  key "$name.key"
  openssl req -new -key "$name.key" -out "$work/$name.csr" -subj "$subject" 2>/dev/null
  printf '%b\n' "$ext" > "$work/$name.ext"
  if [ $# -eq 0 ]; then
    openssl x509 -req -in "$work/$name.csr" -CA "$by.pem" -CAkey "$by.key" -CAcreateserial \
      -out "$name.pem" -days 825 -extfile "$work/$name.ext" 2>/dev/null
  else
    # Dates of one's choosing (an expired certificate) take openssl ca.
    mkdir -p "$work/db"
    : > "$work/db/index.txt"
    echo 01 > "$work/db/serial"
    cat > "$work/ca.cnf" <<EOF
[ca]
default_ca = test
[test]
database = $work/db/index.txt
new_certs_dir = $work/db
serial = $work/db/serial
default_md = sha256
policy = anything
[anything]
commonName = supplied
EOF
    openssl ca -batch -config "$work/ca.cnf" -cert "$by.pem" -keyfile "$by.key" -in "$work/$name.csr" \
      -out "$name.pem" -extfile "$work/$name.ext" -notext "$@" 2>/dev/null
  fi
}

client_ext() {
  local e="basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=clientAuth"
  [ -n "${1:-}" ] && e="$e\n$role_oid=ASN1:UTF8String:$1"
  printf '%s' "$e"
}

ca ca "/CN=tvk test CA"
signed server "/CN=localhost" ca \
  "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"
for role in "${roles[@]}"; do
  signed "$role" "/CN=$role" ca "$(client_ext "$role")"
done
signed norole "/CN=norole" ca "$(client_ext "")"
signed expired "/CN=expired" ca "$(client_ext operator)" -startdate 20200101000000Z -enddate 20200102000000Z
ca other-ca "/CN=another CA"
signed stranger "/CN=stranger" other-ca "$(client_ext operator)"
rm -f ./*.srl

cat > roles.rules <<'EOF'
# ROLE     ACCESS  TABLE              FIRST-LAST
operator   write   coils              0-65535
operator   write   holding-registers  0-65535
operator   read    discrete-inputs    0-65535
operator   read    input-registers    0-65535
viewer     read    coils              0-65535
viewer     read    discrete-inputs    0-65535
viewer     read    holding-registers  0-65535
viewer     read    input-registers    0-65535
EOF
echo "certificates in $(pwd): ca.pem server.pem ${roles[*]/%/.pem} norole.pem expired.pem stranger.pem, rules in roles.rules"
