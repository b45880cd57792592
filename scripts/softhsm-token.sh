# Sourced by the demo and the benchmarks: a SoftHSM2 token in a folder of its own.
#
# softhsm_token FOLDER LABEL KEY...   makes the token (user PIN 1234) with one key and
#                                     certificate per KEY ("rsa": RSA-2048, "ec": P-256,
#                                     "p384": P-384; "rsa=SUBJECT" names the certificate,
#                                     in openssl's -subj form, UTF-8), CKA_ID 01, 02, ... in
#                                     the order given, and exports SOFTHSM2_CONF for it.
#                                     SOFTHSM_CERT_EXTENSIONS, extensions in openssl's
#                                     -addext form separated by ';', go into each certificate.
# thumbprint FOLDER KEY               the certificate's SHA-1 thumbprint, lowercase hex.

SOFTHSM_MODULE=/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so

softhsm_token() {
  local folder=$1 label=$2 id=1 key
  shift 2
  mkdir -p "$folder/tokens"
  printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$folder" \
    >"$folder/softhsm2.conf"
  export SOFTHSM2_CONF="$folder/softhsm2.conf"
  softhsm2-util --init-token --free --label "$label" --so-pin 5678 --pin 1234 >/dev/null
  for key_and_subject in "$@"; do
    local key=${key_and_subject%%=*} subject="/CN=$label-${key_and_subject%%=*}"
    [ "$key_and_subject" != "$key" ] && subject=${key_and_subject#*=}
    local kind=(rsa:2048)
    [ "$key" = ec ] && kind=(ec -pkeyopt ec_paramgen_curve:P-256)
    [ "$key" = p384 ] && kind=(ec -pkeyopt ec_paramgen_curve:P-384)
    local extensions=() extension
    local IFS_before=$IFS
    IFS=';'
    for extension in ${SOFTHSM_CERT_EXTENSIONS-}; do extensions+=(-addext "$extension"); done
    IFS=$IFS_before
    openssl req -x509 -utf8 -newkey "${kind[@]}" -nodes -keyout "$folder/$key.key" -out "$folder/$key.pem" \
      -subj "$subject" -days 30 "${extensions[@]}" 2>/dev/null
    openssl x509 -in "$folder/$key.pem" -outform DER -out "$folder/$key.der"
    softhsm2-util --import "$folder/$key.key" --token "$label" --label "$key" --id "0$id" --pin 1234 >/dev/null
    write_certificate "$label" "$folder/$key.der" "0$id" "$key"
    id=$((id + 1))
  done
}

# write_certificate LABEL DER ID NAME   the certificate object, made with C_CreateObject
#                                       (pkcs11-tool refuses the long names real
#                                       certificates carry).
write_certificate() {
  /usr/bin/python3 - "$SOFTHSM_MODULE" "$@" <<'PYTHON'
import sys
import PyKCS11
from PyKCS11.LowLevel import (CKA_CERTIFICATE_TYPE, CKA_CLASS, CKA_ID, CKA_LABEL, CKA_SUBJECT, CKA_TOKEN, CKA_VALUE,
                              CKC_X_509, CKO_CERTIFICATE)


def element(data, at):
    """The element at `at`: where its content starts and where it ends."""
    length, start = data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        length, start = int.from_bytes(data[start:start + count], "big"), start + count
    return start, start + length


def subject_of(certificate):
    """The subject Name's DER: the tbsCertificate's sixth element (after the version)."""
    tbs, _ = element(certificate, 0)
    at, _ = element(certificate, tbs)
    if certificate[at] == 0xA0:
        at = element(certificate, at)[1]
    for _ in range(4):  # serial, signature algorithm, issuer, validity
        at = element(certificate, at)[1]
    return certificate[at:element(certificate, at)[1]]


module, label, der, object_id, name = sys.argv[1:]
certificate = open(der, "rb").read()
library = PyKCS11.PyKCS11Lib()
library.load(module)
slot = next(s for s in library.getSlotList(tokenPresent=True) if library.getTokenInfo(s).label.strip() == label)
session = library.openSession(slot, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
session.login("1234")
session.createObject([(CKA_CLASS, CKO_CERTIFICATE), (CKA_CERTIFICATE_TYPE, CKC_X_509), (CKA_TOKEN, True),
                      (CKA_VALUE, certificate), (CKA_SUBJECT, subject_of(certificate)), (CKA_ID, bytes.fromhex(object_id)),
                      (CKA_LABEL, name)])
session.logout()
session.closeSession()
PYTHON
}

thumbprint() {
  openssl x509 -in "$1/$2.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f'
}
