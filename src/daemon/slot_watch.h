#pragma once
// The daemon's watch of its modules' slots: between requests, each module is asked about
// once a second which tokens it holds. A token that went takes its login (the session
// closed, the PIN's digest forgotten), its mechanism list and the sites' choices of its
// certificates along; a caller that asked is told, between answers.
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "daemon/daemon_state.h"

namespace p11agent {

// How often a module is asked; a host that did not answer the watch (it hung or died) is
// started afresh and asked again only after the rest, so that a module that hangs in it
// costs its deadline rarely, not every second.
inline constexpr std::chrono::seconds WATCH_INTERVAL{1};
inline constexpr std::chrono::seconds WATCH_REST_AFTER_FAILURE{30};
// Changes closer together than this are told in one event.
inline constexpr std::chrono::seconds EVENT_SPACING{1};

// Asks the modules whose turn it is, at least one and then as long as `input_waiting` says
// no request is waiting, and makes the daemon's state follow what changed.
void watch_due_modules(DaemonState& state, const std::function<bool()>& input_waiting);

// The event line to write now, if the caller asked for events and the tokens changed.
std::optional<std::string> due_token_event(DaemonState& state);

// {"cmd":"watch_tokens"}: every module asked now; the tokens present, and events from here on.
std::string handle_watch_tokens(DaemonState& state, const Request& request);

// For a prompt open for the token: whether it is still in its slot, asked of its module
// now. Which token that is is fixed when the check is made (the prompt opens then), from
// what the module says is in the slot: another one put in is not it.
std::function<bool()> token_presence_check(DaemonState& state, const TokenKey& token);

// The prompt (if there is one) closes when the token leaves (TOKEN_REMOVED).
void close_prompt_without_token(DaemonState& state, platform::PinDialog* dialog, const TokenKey& token);

}  // namespace p11agent
