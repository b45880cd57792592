#pragma once
// The one-shot commands. Each releases every module it opened before it returns its
// answer, so that the answer is written with nothing left open.
#include <expected>
#include <string>

#include "wire/request.h"

namespace p11agent {

// The answer line without its line end, or the failure's message.
using CommandResult = std::expected<std::string, std::string>;

CommandResult run_enumerate(const Request& request);
CommandResult run_list_certs(const Request& request);
CommandResult run_find_cert(const Request& request);
CommandResult run_sign(const Request& request);
CommandResult run_choose_cert(const Request& request);

}  // namespace p11agent
