#pragma once
// A module host's side driven directly, as the agent's side of the pipe would drive it.
#include <gtest/gtest.h>

#include <span>

#include "token/module_host.h"

namespace testing_support {

// The host's answer to one request, without its length.
inline p11agent::host_protocol::Bytes ask_host(p11agent::ModuleHostServer& host, p11agent::host_protocol::Writer& request) {
  p11agent::host_protocol::Reader reader(std::span(request.frame()).subspan(4));
  p11agent::host_protocol::Writer answer;
  EXPECT_TRUE(host.answer(reader, answer));
  return p11agent::host_protocol::Bytes(answer.frame().begin() + 4, answer.frame().end());
}

}  // namespace testing_support
