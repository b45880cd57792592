#pragma once
// The trace's lines of the module boundary: each call made on a module in a host, with its
// function, slot or session, mechanism, the attribute types asked for (never a value), its
// return value and its time; and the hosts' starts, ends and missed deadlines.
#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "pkcs11/cryptoki.h"
#include "pkcs11/host_protocol.h"

namespace p11agent {

struct CallFacts {
  host_protocol::Call call;
  std::optional<CK_SLOT_ID> slot = std::nullopt;
  std::optional<CK_SESSION_HANDLE> session = std::nullopt;
  std::optional<CK_MECHANISM_TYPE> mechanism = std::nullopt;
  std::span<const CK_ATTRIBUTE> attributes = {};
};

// "C_Login" for Call::Login; the length query and the ahead calls by the function they make.
std::string_view function_name(host_protocol::Call call);

// The names the trace gives a mechanism or attribute type: the standard's, else hex.
std::string mechanism_name(CK_MECHANISM_TYPE type);
std::string attribute_name(CK_ATTRIBUTE_TYPE type);

void trace_call(const std::string& module, const CallFacts& facts, CK_RV rv, std::chrono::steady_clock::duration took);

// A host's turn: "started" (its executable, 64- or 32-bit), "not_started", "not_loaded" (the
// module did not load in it: the error), "deadline" (the call and the bound it missed),
// "ended" (it died or answered nonsense) or "restarted".
void trace_host(std::string_view what, const std::string& module, std::string_view detail_key = {},
                std::string_view detail = {});

}  // namespace p11agent
