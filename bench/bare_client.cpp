// The baseline of the one-shot measurements: the calls a plain program needs to give the
// agent's answers on the first initialised token of a module, and nothing more.
//
// usage: p11agent_bare_client list MODULE
//        p11agent_bare_client sign MODULE PIN THUMBPRINT HASH_HEX
#include <openssl/evp.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bare_pkcs11.h"

namespace {

using Bytes = std::vector<CK_BYTE>;

std::string hex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (CK_BYTE byte : bytes) text += {digits[byte >> 4], digits[byte & 15]};
  return text;
}

Bytes from_hex(const std::string& text) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(std::stoi(text.substr(i, 2), nullptr, 16));
  return bytes;
}

std::string sha1_hex(const Bytes& data) {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha1(), nullptr);
  digest.resize(length);
  return hex(digest);
}

CK_OBJECT_CLASS certificate_class = CKO_CERTIFICATE, private_key_class = CKO_PRIVATE_KEY;

int list(const std::string& module_path) {
  bench::BareModule module(module_path);
  CK_SESSION_HANDLE session = module.open_session(module.first_initialised_slot());
  auto certificates = module.find(session, {{CKA_CLASS, &certificate_class, sizeof certificate_class}});
  for (CK_OBJECT_HANDLE key : module.find(session, {{CKA_CLASS, &private_key_class, sizeof private_key_class}}))
    module.values(session, key, {CKA_ID});
  for (CK_OBJECT_HANDLE certificate : certificates) {
    auto values = module.values(session, certificate, {CKA_VALUE, CKA_LABEL, CKA_ID});
    std::printf("%s %.*s\n", sha1_hex(values[0]).c_str(), static_cast<int>(values[1].size()),
                reinterpret_cast<const char*>(values[1].data()));
  }
  module->C_CloseSession(session);
  return 0;
}

int sign(const std::string& module_path, const std::string& pin, const std::string& thumbprint,
         const std::string& hash_hex) {
  bench::BareModule module(module_path);
  CK_SESSION_HANDLE session = module.open_session(module.first_initialised_slot(), pin);
  Bytes id;
  for (CK_OBJECT_HANDLE certificate :
       module.find(session, {{CKA_CLASS, &certificate_class, sizeof certificate_class}})) {
    auto values = module.values(session, certificate, {CKA_VALUE, CKA_ID});
    if (sha1_hex(values[0]) == thumbprint) id = values[1];
  }
  auto keys = module.find(session, {{CKA_CLASS, &private_key_class, sizeof private_key_class},
                                    {CKA_ID, id.data(), id.size()}});
  if (keys.empty()) bench::fail("finding the key");
  CK_KEY_TYPE key_type = 0;
  CK_ATTRIBUTE type_query{CKA_KEY_TYPE, &key_type, sizeof key_type};
  module->C_GetAttributeValue(session, keys[0], &type_query, 1);
  CK_MECHANISM mechanism{key_type == CKK_EC ? CKM_ECDSA : CKM_RSA_PKCS, nullptr, 0};
  Bytes hash = from_hex(hash_hex), signature(1024);
  CK_ULONG length = signature.size();
  if (module->C_SignInit(session, &mechanism, keys[0]) != CKR_OK ||
      module->C_Sign(session, hash.data(), hash.size(), signature.data(), &length) != CKR_OK)
    bench::fail("signing");
  signature.resize(length);
  std::printf("%s\n", hex(signature).c_str());
  module->C_CloseSession(session);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  if (words.size() == 2 && words[0] == "list") return list(words[1]);
  if (words.size() == 5 && words[0] == "sign") return sign(words[1], words[2], words[3], words[4]);
  std::fprintf(stderr, "usage: %s list MODULE | sign MODULE PIN THUMBPRINT HASH_HEX\n", argv[0]);
  return 2;
}
