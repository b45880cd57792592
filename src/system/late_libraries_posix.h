#pragma once
// The system libraries the agent binds when it first needs them rather than at its start.
// Linked, libcrypto and libdbus (with the six libraries libdbus pulls in) are loaded and
// relocated before main, about 5 ms on the path of every answer and ahead of the module
// host's start; bound late, libnettle (the digests) loads on a thread beside the host's
// start, libcrypto where a certificate is read, and libdbus only where the screen lock is
// watched.
#include <dbus/dbus.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>
#include <nettle/version.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace p11agent::platform {

#define P11AGENT_LIBCRYPTO_FUNCTIONS(F)                                                                            \
  F(EVP_MD_fetch) F(EVP_Digest) F(d2i_X509) F(X509_free) F(X509_get0_notBefore) F(X509_get0_notAfter)              \
  F(X509_get_extension_flags) F(X509_get_ext_by_NID) F(X509_get_key_usage) F(X509_get_ext_d2i)                     \
  F(EXTENDED_KEY_USAGE_free) F(OPENSSL_sk_num) F(OPENSSL_sk_value) F(X509_get_X509_PUBKEY) F(X509_PUBKEY_get0_param) \
  F(X509_ALGOR_get0) F(X509_get0_pubkey) F(EVP_PKEY_get_bits) F(OBJ_obj2nid) F(OBJ_obj2txt) F(ASN1_TIME_to_tm)                       \
  F(X509_get_ext) F(X509_EXTENSION_get_data) F(ASN1_STRING_get0_data) F(ASN1_STRING_length)

// GnuTLS's digest library, 0.3 MB and already on Debian systems, where loading libcrypto
// costs a process about six times as long: the digests of the thumbprints, the PIN and an
// authentication. libcrypto stays for what reads certificates, loaded when that is asked.
#define P11AGENT_LIBNETTLE_FUNCTIONS(F)                                                                              \
  F(nettle_sha1_init) F(nettle_sha1_update) F(nettle_sha1_digest) F(nettle_sha256_init) F(nettle_sha256_update)      \
  F(nettle_sha256_digest) F(nettle_sha384_init) F(nettle_sha384_digest) F(nettle_sha512_init) F(nettle_sha512_update) \
  F(nettle_sha512_digest)

// The soname of the headers' ABI: nettle 3.10 dropped the digests' length argument.
#if NETTLE_VERSION_MAJOR != 3 || NETTLE_VERSION_MINOR >= 10
#error "the digest functions' arguments are those of nettle 3.x before 3.10 (libnettle.so.8)"
#endif
inline constexpr const char* LIBNETTLE_FILE = "libnettle.so.8";

#define P11AGENT_LIBDBUS_FUNCTIONS(F)                                                                                \
  F(dbus_threads_init_default) F(dbus_error_init) F(dbus_error_free) F(dbus_error_is_set)                            \
  F(dbus_connection_open_private) F(dbus_connection_set_exit_on_disconnect) F(dbus_bus_register)                     \
  F(dbus_connection_close) F(dbus_connection_unref) F(dbus_connection_send_with_reply_and_block)                    \
  F(dbus_connection_pop_message) F(dbus_connection_get_unix_fd) F(dbus_connection_read_write)                       \
  F(dbus_connection_get_is_connected) F(dbus_bus_add_match) F(dbus_message_new_method_call) F(dbus_message_unref)   \
  F(dbus_message_append_args) F(dbus_message_get_args) F(dbus_message_is_signal) F(dbus_message_has_path)            \
  F(dbus_message_get_sender)

inline constexpr const char* LIBDBUS_FILE = "libdbus-1.so.3";

#define P11AGENT_FUNCTION_SLOT(name) decltype(&::name) name = nullptr;
// The functions of libcrypto the agent calls, under their own names.
struct LibCrypto {
  P11AGENT_LIBCRYPTO_FUNCTIONS(P11AGENT_FUNCTION_SLOT)
};
// The functions of libnettle the agent calls, under their own names.
struct LibNettle {
  P11AGENT_LIBNETTLE_FUNCTIONS(P11AGENT_FUNCTION_SLOT)
};
// The functions of libdbus the agent calls, under their own names.
struct LibDbus {
  P11AGENT_LIBDBUS_FUNCTIONS(P11AGENT_FUNCTION_SLOT)
};
#undef P11AGENT_FUNCTION_SLOT

// Each is bound once, by whoever asks first (the others wait for it); nullptr when the
// library cannot be loaded or lacks one of the functions.
const LibCrypto* libcrypto();
const LibNettle* libnettle();
const LibDbus* libdbus();

}  // namespace p11agent::platform
