#!/bin/sh
# Makes a software token holding a demo certificate and its key, issued by a throw-away demo CA,
# so the agent has something to list and sign with on a machine without a card reader.
#
# Usage: scripts/make-demo-token.sh [folder]
#   folder: where the token lives (default: $XDG_DATA_HOME/quillmark/softhsm, else
#           ~/.local/share/quillmark/softhsm). Left alone when it already holds a token.
# The folder gets softhsm2.conf (point SOFTHSM2_CONF at it), tokens/, and demo-ca.pem (the CA
# certificate, to verify signatures). The private keys exist only inside the token.
# User PIN: $QUILLMARK_DEMO_PIN, else 123456. SO PIN: $QUILLMARK_DEMO_SO_PIN, else 12345678.
set -eu

data_home=${XDG_DATA_HOME:-${HOME:-/root}/.local/share}
dir=${1:-$data_home/quillmark/softhsm}
pin=${QUILLMARK_DEMO_PIN:-123456}
so_pin=${QUILLMARK_DEMO_SO_PIN:-12345678}
label="Quillmark Demo"

module=""
for candidate in /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so \
  /usr/lib/aarch64-linux-gnu/softhsm/libsofthsm2.so; do
  if [ -f "$candidate" ]; then
    module=$candidate
    break
  fi
done
[ -n "$module" ] || { echo "make-demo-token: libsofthsm2.so not found" >&2; exit 1; }

# The configuration is written last: its presence means a complete token.
[ -f "$dir/softhsm2.conf" ] && exit 0

mkdir -p "$dir"
chmod 700 "$dir"
dir=$(cd "$dir" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
umask 077
mkdir "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
  "$work/tokens" >"$work/softhsm2.conf"
export SOFTHSM2_CONF="$work/softhsm2.conf"

cat >"$work/ca.cfg" <<EOF
cn = "Quillmark Demo CA"
organization = "Quillmark Demo"
serial = 1
expiration_days = 3650
ca
cert_signing_key
crl_signing_key
EOF
# The subject carries the fields the inspection functions read: serialNumber (citizen ID),
# title (rank) and the unit (organisation ID); two policies (certificate type, entity) and a
# subject directory attribute (date of birth 1980-01-01).
cat >"$work/user.cfg" <<EOF
cn = "Demo User"
organization = "Quillmark Demo"
country = "XX"
unit = "ORG-00000001"
dn_oid = "2.5.4.5 DEMO0000012345"
dn_oid = "2.5.4.12 Engineer"
serial = 2
expiration_days = 1825
signing_key
encryption_key
tls_www_client
email_protection_key
policy1 = 2.999.1.1
policy2 = 2.999.2.1
add_extension = "2.5.29.9 0x301F301D06082B060105050709013111180F31393830303130313132303030305A"
EOF

certtool --generate-privkey --key-type rsa --bits 2048 --outfile "$work/ca.key" 2>/dev/null
certtool --generate-self-signed --load-privkey "$work/ca.key" --template "$work/ca.cfg" \
  --outfile "$work/demo-ca.pem" 2>/dev/null
certtool --generate-privkey --key-type rsa --bits 2048 --outfile "$work/user.key" 2>/dev/null
certtool --generate-certificate --load-privkey "$work/user.key" --load-ca-certificate \
  "$work/demo-ca.pem" --load-ca-privkey "$work/ca.key" --template "$work/user.cfg" \
  --outfile "$work/user.pem" 2>/dev/null
certtool --to-p8 --password "" --load-privkey "$work/user.key" --outfile "$work/user.p8" \
  2>/dev/null

softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin "$so_pin" >/dev/null
softhsm2-util --import "$work/user.p8" --token "$label" --label "Demo User" --id 01 \
  --pin "$pin" >/dev/null
GNUTLS_PIN=$pin p11tool --provider "$module" --login --write --no-mark-private \
  --load-certificate "$work/user.pem" --label "Demo User" --id 01 \
  "pkcs11:token=Quillmark%20Demo" >/dev/null

rm -rf "$dir/tokens"
mv "$work/tokens" "$dir/tokens"
cp "$work/demo-ca.pem" "$dir/demo-ca.pem"
chmod 644 "$dir/demo-ca.pem"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
  "$dir/tokens" >"$dir/softhsm2.conf.new"
mv "$dir/softhsm2.conf.new" "$dir/softhsm2.conf"
echo "demo token ready in $dir (PIN $pin)"
