#include "daemon/slot_watch.h"

#include <algorithm>

#include "trace/trace.h"
#include "text/json_fields.h"
#include "text/shown_text.h"
#include "wire/response.h"

namespace p11agent {

namespace {

using Clock = std::chrono::steady_clock;

// Asks the module which tokens it holds; a changed answer becomes what is seen of it.
// Whether it answered.
bool ask_module(DaemonState& state, const std::string& path, const Pkcs11Module& module) {
  auto answer = present_tokens_if_changed(module);
  if (answer && *answer) state.watch.seen[path] = std::move(**answer);
  return answer.has_value();
}

// Asks one module in its turn. A host that failed is started afresh now, between requests,
// and left alone for a while.
void look_at(DaemonState& state, const std::string& path) {
  auto& next = state.watch.next_look[path];
  auto module = state.module_table.find(path);
  if (module == state.module_table.end()) return;
  const bool answered = ask_module(state, path, *module->second);
  next = Clock::now() + WATCH_INTERVAL;
  if (answered || !module->second->host_ended()) return;
  next = Clock::now() + WATCH_REST_AFTER_FAILURE;
  // A new host answers its first watch in full.
  state.watch.seen.erase(path);
  reload_modules(state, {path});
}

// What went with a token: its login, its mechanisms, the sites' choices of its certificates.
void forget_token(DaemonState& state, const TokenKey& token) {
  forget_token_login(state, token, LogoutFirst::No);
  state.token_mechanisms.erase(token);
  for (auto& [site, chosen] : state.chosen_certs)
    std::erase_if(chosen, [&](const auto& entry) { return entry.second == token; });
}

// The trace's lines of the tokens that came and went in a module's slots.
void trace_token_changes(const std::string& path, const PresentTokens& before, const PresentTokens& now) {
  if (!platform::tracing()) return;
  auto trace_each = [&](std::string_view what, const PresentTokens& these, const PresentTokens& others) {
    for (const PresentToken& token : these) {
      if (std::ranges::find(others, token) != others.end()) continue;
      JsonFields line;
      line.text("what", what).text("module", path).number("slot", static_cast<std::int64_t>(token.slot));
      platform::trace("watch", line.text("label", shown_text(listing_identity(token).label)).str());
    }
  };
  trace_each("went", before, now);
  trace_each("came", now, before);
}

// The tokens the state follows become those seen: a module that left the table has none.
void follow_seen(DaemonState& state) {
  std::erase_if(state.watch.seen, [&](const auto& entry) { return !state.module_table.contains(entry.first); });
  std::vector<std::string> paths;
  for (const auto& [path, tokens] : state.watch.followed)
    if (!state.watch.seen.contains(path) && !state.module_table.contains(path)) paths.push_back(path);
  for (const auto& [path, tokens] : state.watch.seen) paths.push_back(path);
  for (const std::string& path : paths) {
    auto seen = state.watch.seen.find(path);
    const PresentTokens now = seen == state.watch.seen.end() ? PresentTokens{} : seen->second;
    PresentTokens& followed = state.watch.followed[path];
    std::vector<TokenKey> gone;
    for (const PresentToken& token : followed)
      if (std::ranges::find(now, token) == now.end()) gone.push_back(TokenKey{path, token.slot});
    // A login made before the module was first asked is on a slot that is now empty.
    for (const auto& [token, login] : state.token_logins)
      if (token.module_path == path && std::ranges::find(now, token.slot, &PresentToken::slot) == now.end())
        gone.push_back(token);
    for (const TokenKey& token : gone) forget_token(state, token);
    if (followed == now) continue;
    trace_token_changes(path, followed, now);
    followed = now;
    state.watch.change_unreported = true;
  }
  std::erase_if(state.watch.followed, [](const auto& entry) { return entry.second.empty(); });
}

Json tokens_json(const DaemonState& state) {
  Json tokens = Json::array();
  for (const auto& [path, present] : state.watch.followed)
    for (const PresentToken& token : present) {
      const TokenIdentity identity = listing_identity(token);
      tokens.push_back(Json{{"module", path}, {"token_label", identity.label}, {"token_serial", identity.serial}});
    }
  return tokens;
}

}  // namespace

void watch_due_modules(DaemonState& state, const std::function<bool()>& input_waiting) {
  std::vector<std::pair<Clock::time_point, std::string>> due;
  const auto now = Clock::now();
  for (const auto& [path, module] : state.module_table)
    if (auto next = state.watch.next_look.find(path); next == state.watch.next_look.end() || next->second <= now)
      due.emplace_back(next == state.watch.next_look.end() ? Clock::time_point{} : next->second, path);
  // The longest waiting first: under a steady stream of requests each turn still asks one.
  std::ranges::sort(due);
  for (std::size_t i = 0; i < due.size(); ++i) {
    if (i > 0 && input_waiting()) break;
    look_at(state, due[i].second);
  }
  follow_seen(state);
}

std::optional<std::string> due_token_event(DaemonState& state) {
  SlotWatch& watch = state.watch;
  if (!watch.reporting || !watch.change_unreported || Clock::now() < watch.last_event + EVENT_SPACING) return std::nullopt;
  watch.change_unreported = false;
  watch.last_event = Clock::now();
  // A site learns of certificates only through its user's choice: that something changed, no more.
  if (state.browser) return render_json(Json{{"event", "tokens_changed"}});
  return render_json(Json{{"event", "tokens_changed"}, {"tokens", tokens_json(state)}});
}

std::string handle_watch_tokens(DaemonState& state, const Request&) {
  for (const auto& [path, module] : state.module_table) state.watch.next_look.erase(path);
  watch_due_modules(state, [] { return false; });
  state.watch.reporting = true;
  state.watch.change_unreported = false;
  if (state.browser) return render_json(Json{{"ok", true}});
  return render_json(Json{{"ok", true}, {"tokens", tokens_json(state)}});
}

namespace {

// What the module says is in the token's slot now: nullopt when it cannot say, an empty
// token (slot 0 of no token) when the slot holds none.
std::optional<std::optional<PresentToken>> token_in_slot(DaemonState& state, const TokenKey& token) {
  auto module = state.module_table.find(token.module_path);
  if (module == state.module_table.end()) return std::optional<PresentToken>();
  if (!ask_module(state, token.module_path, *module->second)) return std::nullopt;
  const PresentTokens& seen = state.watch.seen[token.module_path];
  auto in_slot = std::ranges::find(seen, token.slot, &PresentToken::slot);
  if (in_slot == seen.end()) return std::optional<PresentToken>();
  return std::optional<PresentToken>(*in_slot);
}

}  // namespace

std::function<bool()> token_presence_check(DaemonState& state, const TokenKey& token) {
  // A module that cannot say now fixes the token at its first answer.
  std::optional<PresentToken> first = token_in_slot(state, token).value_or(std::nullopt);
  return [&state, token, first]() mutable {
    const auto now = token_in_slot(state, token);
    // A module that cannot say now is not taken to have lost the token.
    if (!now) return true;
    if (!*now) return false;
    if (!first) first = *now;
    return **now == *first;
  };
}

void close_prompt_without_token(DaemonState& state, platform::PinDialog* dialog, const TokenKey& token) {
  if (dialog != nullptr) dialog->close_when_unwanted(token_presence_check(state, token));
}

}  // namespace p11agent
