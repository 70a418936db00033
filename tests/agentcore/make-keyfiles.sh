#!/usr/bin/env bash
# Writes the key files the key file tests read, from the fixture keys:
# make-keyfiles.sh FIXTURES OUT PASSPHRASE. Every file is made by OpenSSH's
# ssh-keygen or by openssl, never by the code under test. Low bcrypt rounds
# and PBKDF2 iterations keep it fast.
set -euo pipefail
fixtures=$1 out=$2 pass=$3
cd "$out"

copy() { # fixture, name
  cp "$fixtures/$1" "$2"
  chmod 600 "$2"
}

for key in ed25519 rsa2048 dsa1024 ecdsa256 ecdsa384 ecdsa521; do
  for cipher in aes256-ctr aes256-cbc aes256-gcm@openssh.com chacha20-poly1305@openssh.com; do
    copy "$key" "$key.openssh.$cipher"
    ssh-keygen -q -p -a 2 -Z "$cipher" -N "$pass" -P '' -f "$key.openssh.$cipher" >/dev/null
  done
  [ "$key" != ed25519 ] || continue # OpenSSH writes Ed25519 in its own format only
  for format in PEM PKCS8; do
    copy "$key" "$key.$format"
    ssh-keygen -q -p -m "$format" -N '' -P '' -f "$key.$format" >/dev/null
    copy "$key" "$key.$format.enc"
    ssh-keygen -q -p -m "$format" -N "$pass" -P '' -f "$key.$format.enc" >/dev/null
  done
done

# What ssh-keygen does not write: other PEM ciphers, PBKDF2 with SHA-1, a
# 192-bit AES, an EC key without its public point, Ed25519 in PKCS#8.
openssl rsa -in rsa2048.PEM -traditional -aes256 -passout "pass:$pass" -out rsa2048.PEM.aes256.enc 2>/dev/null
openssl rsa -in rsa2048.PEM -traditional -des3 -passout "pass:$pass" -out rsa2048.PEM.des3.enc 2>/dev/null
openssl ec -in ecdsa384.PEM -aes192 -passout "pass:$pass" -out ecdsa384.PEM.aes192.enc 2>/dev/null
openssl dsa -in dsa1024.PEM -des3 -passout "pass:$pass" -out dsa1024.PEM.des3.enc 2>/dev/null
openssl ec -in ecdsa256.PEM -no_public -out ecdsa256.PEM.nopublic 2>/dev/null
openssl pkcs8 -topk8 -in rsa2048.PKCS8 -v2 aes-192-cbc -v2prf hmacWithSHA1 -iter 100 -passout "pass:$pass" \
  -out rsa2048.PKCS8.sha1.enc
openssl genpkey -algorithm ed25519 -out ed25519.PKCS8 2>/dev/null
openssl pkcs8 -topk8 -in ed25519.PKCS8 -v2 aes-256-cbc -iter 100 -passout "pass:$pass" -out ed25519.PKCS8.enc
# ssh-keygen cannot read Ed25519 from PKCS#8 here: its public half comes
# from openssl instead, as a line of the ".pub" form.
printf 'ssh-ed25519 %s\n' "$( (printf '\0\0\0\x0bssh-ed25519\0\0\0\x20'
  openssl pkey -in ed25519.PKCS8 -pubout -outform DER | tail -c 32) | base64 -w0)" >ed25519.PKCS8.expected
openssl genrsa -traditional -out rsa768.PEM 768 2>/dev/null
