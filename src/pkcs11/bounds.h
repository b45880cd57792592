#pragma once
// Every bound the agent puts on a module, each with its reason. A module is vendor code
// that may hang, or answer any count; these bounds are what a caller waits for at most, and
// every count or length from a module or its host is held to one before anything is made
// for it (a larger one is an error with a text, never an allocation that throws).
#include <algorithm>
#include <chrono>
#include <cstddef>

#include "pkcs11/cryptoki.h"

namespace p11agent {

// Loading a module and its C_Initialize share one deadline, counted from the start of the
// module's host: a healthy module is ready within a second, a token service may take a few.
inline constexpr std::chrono::seconds LOAD_DEADLINE{8};

// How long a person is given to enter a PIN: on a reader's own keypad, where the module's
// C_Login waits for it, and in the agent's prompt, which closes unanswered after as long.
inline constexpr std::chrono::seconds PIN_ENTRY_BOUND{120};

// serve waits this long for the known modules at start-up, as long as one load may take.
inline constexpr std::chrono::seconds START_DEADLINE = LOAD_DEADLINE;

// A request waits this long for modules loaded after start-up (missing ones, or a fresh
// host for a module that lost its state): a request should not cost a whole start-up.
inline constexpr std::chrono::seconds REFILL_DEADLINE{6};

// A load that a request stopped waiting for goes on in its host this long, and is used
// once it finishes; one that never finishes is started again at most this often, without a
// request waiting for it, so that a slow module costs its deadline once, not per request.
inline constexpr std::chrono::seconds SLOW_LOAD_RETRY{30};

// No healthy token takes this long for one call; a module that does is taken as hung.
inline constexpr std::chrono::seconds CALL_DEADLINE{20};

// A host that was killed is waited for this long: one stuck in a driver call the system
// cannot interrupt is left to be reaped later rather than hang the agent.
inline constexpr std::chrono::milliseconds HOST_END_GRACE{500};

// More than any real signature: a larger length from a module is an error, and no buffer
// of that size is made for it.
inline constexpr std::size_t MAX_SIGNATURE_LENGTH = 64u << 10;

// More slots than any reader stack has; a larger count is answered as CKR_HOST_MEMORY. A
// module whose count changes at every call (tokens arriving) is asked this many times.
inline constexpr CK_ULONG MAX_SLOTS = 4096;
inline constexpr int MAX_SLOT_LIST_ROUNDS = 16;

// More mechanisms than any token lists; a longer list is taken as no answer (the
// signature is then tried as asked).
inline constexpr CK_ULONG MAX_MECHANISMS = 4096;

// Past this many C_FindObjects calls (a hundred thousand objects) a module is taken to be
// looping: no token holds that many, and one that says it has handles without writing
// them never reaches an empty batch.
inline constexpr int MAX_FIND_ROUNDS = 10000;

// The attribute bytes one walk over a module's objects may read: a module that hands out
// the same large object again and again cannot run the agent out of memory.
inline constexpr std::size_t MAX_WALK_BYTES = 16u << 20;

// The longest attribute value the agent reads; a longer one is left out, as one the module
// cannot give. The longest it reads is a certificate: real ones are a few KiB, and a
// USB token's whole memory is a few hundred.
inline constexpr std::size_t MAX_ATTRIBUTE_BYTES = 1u << 20;

// A module host makes (and zeroes) buffers from the agent's sizes, held to the agent's own
// bounds: no request of the agent asks for more, so a larger size is a broken request, and
// the host makes no buffer larger than the agent could take back.
inline constexpr CK_ULONG MAX_HOST_HANDLES = std::max(MAX_SLOTS, MAX_MECHANISMS);
inline constexpr std::size_t MAX_HOST_ATTRIBUTE_BYTES = MAX_WALK_BYTES;  // in all
inline constexpr std::size_t MAX_HOST_SIGNATURE_BYTES = MAX_SIGNATURE_LENGTH;

}  // namespace p11agent
