#pragma once
// Answers: compact JSON, members in byte order of key at every level, minimal escaping.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>

namespace p11agent {

// nlohmann's default object is a std::map: keys come out in byte order.
using Json = nlohmann::json;

// The object as one line of JSON text, without the line end.
std::string render_json(const Json& object);

// {"error":message,"ok":false} as one line, without the line end.
std::string error_response_text(std::string_view message);

// What a mode answers when something it did not expect was thrown past its commands (an
// allocation that failed, a library's exception): the mode's own error form with this text
// and what was thrown, never an end without an answer.
std::string unexpected_failure_text(const std::exception& thrown);

// A signature's answer, {"cert_der_b64":…,"module":…,"ok":true,"signature_hex":…}, comes
// in two parts: the head, the same for every signature of one certificate, and the rest.
std::string sign_answer_head(std::span<const std::uint8_t> cert_der, const std::string& module_path);
std::string sign_answer(std::string_view head, std::span<const std::uint8_t> signature);

}  // namespace p11agent
