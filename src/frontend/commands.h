#pragma once
// The one-shot commands. Each releases every module it opened before it returns its
// answer, so that the answer is written with nothing left open.
#include <expected>
#include <string>

#include "frontend/request.h"
#include "frontend/response.h"

namespace p11agent {

using CommandResult = std::expected<Json, std::string>;

CommandResult run_enumerate(const Request& request);
CommandResult run_list_certs(const Request& request);
CommandResult run_find_cert(const Request& request);
CommandResult run_sign(const Request& request);

}  // namespace p11agent
