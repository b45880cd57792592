#pragma once
// Certificates on a module's tokens: listing them, and finding one by thumbprint.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "token/mechanisms.h"
#include "token/objects.h"
#include "token/slot.h"

namespace p11agent {

struct TokenCert {
  std::string module_path;
  std::string token_label;
  std::string token_serial;
  std::string thumbprint;
  Bytes der;
  bool has_private_key = false;  // a private key with the certificate's CKA_ID shows before login
  // The token asks for a login and shows no private key before it: the certificate's key
  // may be among those it hides.
  bool keys_after_login = false;
  CK_SLOT_ID slot = 0;
  TokenMechanisms mechanisms = std::nullopt;  // read where a listing describes its certificates
};

// Whether a listing reads each token's mechanisms.
enum class WithMechanisms : bool { No, Yes };

// Every certificate of every token of one module, slots in module order.
std::expected<std::vector<TokenCert>, std::string> list_token_certs(const std::string& module_path,
                                                                    WithMechanisms with = WithMechanisms::No);

// The same for a module that is loaded already.
std::expected<std::vector<TokenCert>, std::string> list_module_certs(const ModulePtr& module,
                                                                     const std::string& module_path);

// A failure of the module itself on the way through its certificates (its host ended or
// did not answer, or it gave a device-level answer), with the prefix of the step it failed
// in: a search that finds nothing answers with it rather than with "not found".
struct ModuleFailure {
  std::string text;
  Pkcs11Error error;
};

// Walks the certificates of every token of a module: slots in module order, objects in
// search order, each object's `types` read in one go. Failures, and objects without a
// CKA_VALUE, skip the slot or object; a module whose objects exceed the read budget ends
// its walk there.
// `on_slot` runs before a slot's session is opened; `on_cert` returns true to stop.
struct CertificateVisitor {
  std::span<const CK_ATTRIBUTE_TYPE> types;
  std::function<void(CK_SLOT_ID)> on_slot;
  std::function<bool(CK_SLOT_ID, const Attributes&)> on_cert;
};
// Whether a visit stopped the walk, and the module's first failure of its own on the way.
struct CertificateWalk {
  bool stopped = false;
  std::optional<ModuleFailure> failure;
};
CertificateWalk for_each_certificate(const ModulePtr& module, const CertificateVisitor& visitor);

// Where a certificate was found by a thumbprint scan.
struct CertMatch {
  CK_SLOT_ID slot;
  Bytes der;
  Bytes id;  // empty unless CKA_ID was asked for and the object has one
};

// The first certificate on the module's tokens whose thumbprint equals `lowered` (a
// requested thumbprint already lower-cased), read with `types` (CKA_VALUE and whatever
// else the caller needs). Failures skip the slot or object; without a match, the module's
// own failure on the way, if it had one. `on_match` runs for the match while the search's
// session on its slot is still open.
struct CertSearch {
  std::optional<CertMatch> match;
  std::optional<ModuleFailure> failure;
};
CertSearch find_cert_on_module(const ModulePtr& module, std::string_view lowered,
                               std::span<const CK_ATTRIBUTE_TYPE> types = VALUE_ONLY,
                               const std::function<void(CK_SLOT_ID)>& on_match = nullptr);

// The first known module holding the certificate, and the slot where it shows (the module
// is released again before returning). Without one, the first module failure on the way,
// or else "not found".
struct CertLocation {
  std::string module_path;
  CK_SLOT_ID slot;
};
std::expected<CertLocation, std::string> find_cert_module(std::string_view thumbprint);

// Keeps the first failure of searches over several modules, and answers with it when
// nothing was found.
class FirstModuleFailure {
 public:
  void keep(std::optional<ModuleFailure> failure, const std::string& module_path);
  // The failure's text, or "certificate not found on any connected token".
  std::string not_found_text() const;
  // The module when it lost its state or its host ended (a fresh start may mend it, and
  // the search may then be run once more); empty otherwise.
  std::string module_to_restart() const;

 private:
  std::optional<ModuleFailure> failure_;
  std::string module_path_;
};

}  // namespace p11agent
