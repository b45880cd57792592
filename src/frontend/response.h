#pragma once
// Answers: compact JSON, members in byte order of key at every level, minimal escaping.
#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace p11agent {

// nlohmann's default object is a std::map: keys come out in byte order.
using Json = nlohmann::json;

// The object as one line of JSON text, without the line end.
std::string render_json(const Json& object);

// {"error":message,"ok":false} as one line, without the line end.
std::string error_response_text(std::string_view message);

// Writes the object and "\n" to standard output.
void print_response(const Json& object);

// Writes the failure object and "\n" to standard output and ends the process with status 1.
[[noreturn]] void print_error_and_exit(std::string_view message);

}  // namespace p11agent
