#pragma once
// The messages between the agent and a module host: one request per PKCS#11 call, one
// answer each. A message is a frame (a 4-byte length, then that many bytes) of unsigned
// 64-bit numbers and byte strings. A pointer the module is handed is carried as a flag, so
// the module sees NULL exactly where the agent passed NULL (a length query stays one).
// Every buffer is wiped when it goes: PINs cross in them.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "system/secure_memory.h"
#include "pkcs11/bounds.h"
#include "pkcs11/cryptoki.h"

namespace p11agent::host_protocol {

using Bytes = std::vector<std::byte, platform::WipingAllocator<std::byte>>;

enum class Call : std::uint8_t {
  Load = 1,
  Initialize,
  Finalize,
  GetSlotList,
  GetTokenInfo,
  OpenSession,
  CloseSession,
  Login,
  Logout,
  FindObjectsInit,
  FindObjects,
  FindObjectsFinal,
  GetAttributeValue,
  SignInit,
  Sign,
  GetSessionInfo,
  // C_Sign's length query; when the length is one the agent takes, the host makes the
  // signature at once and sends it, unasked, as a second answer: the agent's next C_Sign
  // takes it from there, one message fewer per signature.
  SignForLength,
  // C_SignInit for a signature of the bytes it carries, whose length query comes next:
  // when the module takes it, the host makes the query at once and sends its answer
  // unasked (and after it, as for SignForLength, the signature): one message for the
  // whole operation, each call answered by a message of its own.
  SignInitAhead,
  GetMechanismList,
  GetMechanismInfo,
  // The watch's question, not a PKCS#11 call: which tokens the slots hold (C_GetSlotList,
  // then C_GetTokenInfo for each), answered in full only when that changed since the last
  // answer to it, so that an idle watch is one short message a second.
  WatchTokens,
};

// After a length query that answered so, the host makes the signature at once and sends
// it unasked; the agent counts on it exactly then. Longer signatures are none the agent
// takes (MAX_SIGNATURE_LENGTH): they are asked for as usual.
inline bool signature_follows(CK_RV rv, CK_ULONG length) {
  return rv == CKR_OK && length > 0 && length <= MAX_SIGNATURE_LENGTH;
}

// The version of these messages. The first request to a host (Load) carries
// it after the call; the answer opens with SAME_VERSION, or with OTHER_VERSION and
// the host's own version when that differs: a host started from a program file replaced
// since the agent started would otherwise read the agent's messages in another layout.
inline constexpr std::uint64_t VERSION = 8;
inline constexpr std::uint64_t SAME_VERSION = 0x73616d65;   // "same"
inline constexpr std::uint64_t OTHER_VERSION = 0x6f746872;  // "othr"

// Opens every answer: bytes that do not start with it are no answer.
inline constexpr std::uint64_t ANSWER_MARK = 0x70313161'6e737772ULL;

// Larger frames are refused on both sides: the agent never sends one, and a host that
// claims one is broken.
inline constexpr std::size_t MAX_FRAME = 80u << 20;

// The internal argument that makes the executable a module host.
inline constexpr const char* HOST_ARGUMENT = "--module-host";

class Writer {
 public:
  Writer& number(std::uint64_t value);
  Writer& bytes(const void* data, std::size_t size);
  // A flag for NULL, then the bytes when there are any.
  Writer& optional_bytes(const void* data, std::size_t size);
  // The finished frame, length first.
  const Bytes& frame();

 private:
  Bytes bytes_ = Bytes(4);
};

class Reader {
 public:
  explicit Reader(std::span<const std::byte> payload) : rest_(payload) {}
  // 0 once anything failed to read; `ok` tells.
  std::uint64_t number();
  // The bytes of a byte string; empty once anything failed to read.
  std::span<const std::byte> bytes();
  // False (and `out` empty) for the NULL flag or a failed read.
  bool optional_bytes(std::span<const std::byte>& out);
  bool ok() const { return ok_; }
  // Whether the rest can hold `count` entries of at least `numbers` numbers each: room for
  // a count that the request cannot carry is never made.
  bool can_hold(std::uint64_t count, std::size_t numbers) const { return count <= rest_.size() / (8 * numbers); }

 private:
  std::span<const std::byte> rest_;
  bool ok_ = true;
};

// A host's answer begun: the mark that tells it from anything else on the pipe.
Writer marked_answer();

// The payload length a frame's first 4 bytes give.
std::size_t frame_length(std::span<const std::byte, 4> head);

}  // namespace p11agent::host_protocol
