# Sourced by the demo and the benchmarks: a SoftHSM2 token in a folder of its own.
#
# softhsm_token FOLDER LABEL KEY...   makes the token (user PIN 1234) with one key and
#                                     certificate per KEY ("rsa": RSA-2048, "ec": P-256),
#                                     CKA_ID 01, 02, ... in the order given, and exports
#                                     SOFTHSM2_CONF for it.
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
  for key in "$@"; do
    local kind=(rsa:2048)
    [ "$key" = ec ] && kind=(ec -pkeyopt ec_paramgen_curve:P-256)
    openssl req -x509 -newkey "${kind[@]}" -nodes -keyout "$folder/$key.key" -out "$folder/$key.pem" \
      -subj "/CN=$label-$key" -days 30 2>/dev/null
    openssl x509 -in "$folder/$key.pem" -outform DER -out "$folder/$key.der"
    softhsm2-util --import "$folder/$key.key" --token "$label" --label "$key" --id "0$id" --pin 1234 >/dev/null
    pkcs11-tool --module "$SOFTHSM_MODULE" --token-label "$label" --login --pin 1234 \
      --write-object "$folder/$key.der" --type cert --id "0$id" --label "$key" >/dev/null 2>&1
    id=$((id + 1))
  done
}

thumbprint() {
  openssl x509 -in "$1/$2.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f'
}
