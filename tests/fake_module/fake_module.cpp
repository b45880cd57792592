// A scriptable PKCS#11 module for tests. It reads a scenario (JSON) named after its own
// file name ("<file name>.json") from the folder in P11FAKE_DIR, re-reading it whenever
// the file changes, and appends every call to "<file name>.log" in the same folder (a
// "quiet" scenario does neither until the next C_Initialize).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#define CRYPTOKI_EXPORTS
#include <p11-kit/pkcs11.h>

#include "fake_module/self_path.h"

#ifdef FAKE_MODULE_DEPENDENCY
extern "C" __declspec(dllimport) int fake_dependency_marker();
#endif

using nlohmann::json;

// What the last C_Login was handed, for the test that the agent wipes its PIN copy.
extern "C" {
CK_SPEC const unsigned char* fake_last_pin_address = nullptr;
CK_SPEC unsigned long fake_last_pin_length = 0;
}

namespace {

struct FakeObject {
  CK_OBJECT_CLASS object_class = CKO_CERTIFICATE;
  std::vector<unsigned char> value;
  bool has_value = true;
  CK_RV value_error = CKR_OK;  // CKR_ATTRIBUTE_SENSITIVE etc. when the value cannot be read
  std::vector<unsigned char> id;
  bool has_id = true;
  bool has_key_type = true;
  std::vector<unsigned char> key_type;  // raw bytes of CKA_KEY_TYPE
  bool always_authenticate = false;     // a key that asks for the PIN before every signature
  std::vector<unsigned char> sign;      // CKA_SIGN where the scenario gives it
};

struct FakeToken {
  std::vector<unsigned char> label;   // 32 bytes
  std::vector<unsigned char> serial;  // 16 bytes
  CK_FLAGS flags = 0;
  std::string utc_time;
  std::string pin = "1234";
  std::string insertion;  // changes when the token is pulled and put back
  bool write_protected = false;  // refuses read-write sessions
  std::vector<FakeObject> objects;
  // C_GetMechanismList's list with C_GetMechanismInfo's answers: RSA PKCS #1 v1.5, RSA-PSS
  // and ECDSA, each signing with keys of 256 to 4096 bits, unless the scenario says.
  std::vector<std::pair<CK_MECHANISM_TYPE, CK_MECHANISM_INFO>> mechanisms = {
      {CKM_RSA_PKCS, {256, 4096, CKF_SIGN}}, {CKM_RSA_PKCS_PSS, {256, 4096, CKF_SIGN}}, {CKM_ECDSA, {256, 4096, CKF_SIGN}}};
};

struct FakeSlot {
  CK_SLOT_ID id = 0;
  bool present = false;
  FakeToken token;
};

struct FakeSession {
  CK_SLOT_ID slot;
  std::string insertion;
  std::vector<CK_OBJECT_HANDLE> found;
  std::size_t found_pos = 0;
  long repeated = 0;
  bool finding = false;
  bool signing = false;
  CK_OBJECT_HANDLE signing_key = 0;
  bool context_login = false;  // the PIN given since C_SignInit
  bool read_write = false;
};

struct Scenario {
  std::vector<FakeSlot> slots;
  std::map<std::string, std::vector<std::pair<long, CK_RV>>> failures;  // function -> (n-th call or 0 = every, rv)
  std::map<std::string, long> delays_ms;
  std::vector<std::string> null_entries;
  std::vector<CK_ULONG> sign_lengths;  // size query answer, then the signing call's
  CK_ULONG find_overreport = 0;        // claim this many more handles than written
  CK_ULONG attribute_overreport = 0;   // claim this many more bytes than the buffer holds
  CK_ULONG slot_count_growth = 0;      // answer CKR_BUFFER_TOO_SMALL this often, growing
  CK_ULONG mechanism_count = 0;        // claimed by C_GetMechanismList's count query (0: the real one)
  bool count_behind = false;           // a count query misses the last token (it arrives later)
  bool reject_null = false;            // a NULL template is CKR_ARGUMENTS_BAD, as SoftHSM2 has it
  bool find_phantom = false;  // a search claims a full batch every time and writes nothing
  long find_repeat = 0;       // a search hands out its first match this many times, a batch at a time
  std::vector<std::string> crash;  // these calls crash the process (a write through a null pointer)
  std::vector<std::string> hang;   // these calls never return
  std::vector<std::string> exit_in;  // these calls end the process with exit(), as some modules do
  std::vector<std::string> throw_in;  // these calls let a C++ exception out, as a module in C++ may
  CK_RV wedge_rv = CKR_OK;         // arriving while initialised: every call fails so until finalised
  bool pid_file = false;           // C_Initialize writes the process's id to "<file name>.pid"
  bool report_reach = false;       // C_Initialize writes fake_reach_report to "<file name>.reach"
  std::vector<unsigned long long> reach_probes;  // descriptors or handles that report looks for
  // Neither logs calls nor reads the scenario again until the next C_Initialize: for a
  // module made to answer thousands of calls, whose file accesses would cost a second
  // per thousand calls under Wine.
  bool quiet = false;
};

std::recursive_mutex g_lock;
Scenario g_scenario;
std::string g_scenario_stamp;
std::map<std::string, long> g_calls;
std::map<CK_SESSION_HANDLE, FakeSession> g_sessions;
std::map<std::string, bool> g_logged_in;  // by token insertion
CK_SESSION_HANDLE g_next_session = 1;
bool g_initialized = false;
bool g_wedged = false;

std::vector<unsigned char> from_hex(const std::string& hex) {
  std::vector<unsigned char> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<unsigned char> padded(const json& description, const char* text_key, const char* hex_key, std::size_t size) {
  std::vector<unsigned char> bytes;
  if (description.contains(hex_key)) {
    bytes = from_hex(description[hex_key].get<std::string>());
  } else {
    std::string text = description.value(text_key, std::string());
    bytes.assign(text.begin(), text.end());
  }
  bytes.resize(size, ' ');
  return bytes;
}

std::vector<unsigned char> ulong_bytes(CK_ULONG value) {
  std::vector<unsigned char> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

FakeObject parse_object(const json& description) {
  FakeObject object;
  std::string kind = description.value("class", std::string("certificate"));
  object.object_class = kind == "private_key" ? CKO_PRIVATE_KEY : CKO_CERTIFICATE;
  object.has_value = description.contains("value_hex");
  if (object.has_value) object.value = from_hex(description["value_hex"].get<std::string>());
  // A large value without its hex; at most 2 MiB, so that no scenario exhausts the test's memory.
  if (description.contains("value_length"))
    object.value.resize(std::min<std::size_t>(description["value_length"].get<std::size_t>(), 2u << 20));
  object.value_error = description.value("value_error", CK_RV{CKR_OK});
  object.has_id = description.contains("id_hex") && !description["id_hex"].is_null();
  if (object.has_id) object.id = from_hex(description["id_hex"].get<std::string>());
  object.always_authenticate = description.value("always_authenticate", false);
  if (description.contains("sign")) object.sign = {static_cast<unsigned char>(description["sign"].get<bool>() ? CK_TRUE : CK_FALSE)};
  object.has_key_type = !description.contains("key_type") || !description["key_type"].is_null();
  if (description.contains("key_type_hex")) {
    object.key_type = from_hex(description["key_type_hex"].get<std::string>());
  } else if (object.has_key_type) {
    object.key_type = ulong_bytes(description.value("key_type", CK_ULONG{CKK_RSA}));
  }
  return object;
}

Scenario parse_scenario(const json& doc) {
  Scenario s;
  for (const json& slot_spec : doc.value("slots", json::array())) {
    FakeSlot slot;
    slot.id = slot_spec.value("id", CK_SLOT_ID{0});
    slot.present = slot_spec.contains("token");
    if (slot.present) {
      const json& t = slot_spec["token"];
      slot.token.label = padded(t, "label", "label_hex", 32);
      slot.token.serial = padded(t, "serial", "serial_hex", 16);
      slot.token.flags = t.value("flags", CK_FLAGS{0});
      slot.token.utc_time = t.value("utc_time", std::string());
      slot.token.pin = t.value("pin", std::string("1234"));
      slot.token.write_protected = t.value("write_protected", false);
      slot.token.insertion = std::to_string(slot.id) + ":" + t.value("insertion", std::string("1"));
      for (const json& o : t.value("objects", json::array())) slot.token.objects.push_back(parse_object(o));
      if (t.contains("mechanisms")) {
        slot.token.mechanisms.clear();
        for (const json& m : t["mechanisms"])
          slot.token.mechanisms.push_back({m.value("type", CK_ULONG{0}),
                                           {m.value("min", CK_ULONG{0}), m.value("max", CK_ULONG{0}),
                                            m.value("flags", CK_FLAGS{CKF_SIGN})}});
      }
    }
    s.slots.push_back(std::move(slot));
  }
  for (const json& f : doc.value("fail", json::array()))
    s.failures[f.at("function").get<std::string>()].emplace_back(f.value("call", 0L), f.at("rv").get<CK_RV>());
  const json delays = doc.value("delay_ms", json::object());
  for (auto& [name, ms] : delays.items()) s.delays_ms[name] = ms.get<long>();
  s.null_entries = doc.value("null", std::vector<std::string>{});
  s.sign_lengths = doc.value("sign_lengths", std::vector<CK_ULONG>{});
  s.find_overreport = doc.value("find_overreport", CK_ULONG{0});
  s.attribute_overreport = doc.value("attribute_overreport", CK_ULONG{0});
  s.slot_count_growth = doc.value("slot_count_growth", CK_ULONG{0});
  s.mechanism_count = doc.value("mechanism_count", CK_ULONG{0});
  s.count_behind = doc.value("count_behind", false);
  s.reject_null = doc.value("reject_null", false);
  s.find_phantom = doc.value("find_phantom", false);
  s.find_repeat = doc.value("find_repeat", 0L);
  s.crash = doc.value("crash", std::vector<std::string>{});
  s.hang = doc.value("hang", std::vector<std::string>{});
  s.exit_in = doc.value("exit", std::vector<std::string>{});
  s.throw_in = doc.value("throw", std::vector<std::string>{});
  s.wedge_rv = doc.value("wedge_rv", CK_RV{CKR_OK});
  s.pid_file = doc.value("pid_file", false);
  s.report_reach = doc.value("report_reach", false);
  s.reach_probes = doc.value("reach_probes", std::vector<unsigned long long>{});
  s.quiet = doc.value("quiet", false);
  return s;
}

std::string own_file_name() {
  std::string path = fake_module_self_path();
  std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string scenario_folder() {
  std::string dir = fake_module_folder_variable();
  return dir.empty() ? std::string("./") : dir + "/";
}

// Set once a program hands the scenario over in memory (fake_start_over): the file is no
// longer read, calls are no longer logged and delays are left out.
bool g_scenario_held = false;

// Every number of a scenario is an integer: a fraction or exponent read as one would
// overflow the conversion (the fuzzer writes such numbers), so it reads as 0.
void integers_only(json& value) {
  if (value.is_number_float()) value = 0;
  if (value.is_structured())
    for (json& member : value) integers_only(member);
}

void adopt_scenario(const std::string& text) {
  g_scenario_stamp = text;
  g_calls.clear();  // "the n-th call" counts from the scenario's arrival
  // A scenario that is not one (the fuzzer writes arbitrary bytes) is a module without slots.
  try {
    json doc = json::parse(text.empty() ? std::string("{}") : text, nullptr, true, true);
    integers_only(doc);
    g_scenario = parse_scenario(doc);
    // A device that lost its state under a running module: only a fresh start helps.
    g_wedged = g_initialized && g_scenario.wedge_rv != CKR_OK;
  } catch (const std::exception&) {
    g_scenario = Scenario{};
  }
}

// Re-reads the scenario when the file's contents changed.
void refresh_scenario() {
  if (g_scenario_held) return;
  std::ifstream in(scenario_folder() + own_file_name() + ".json", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (text.str() != g_scenario_stamp) adopt_scenario(text.str());
}

void log_call(const std::string& line) {
  if (g_scenario_held || g_scenario.quiet) return;
  std::ofstream out(scenario_folder() + own_file_name() + ".log", std::ios::app | std::ios::binary);
  out << line << "\n";
}

// Bookkeeping shared by every entry point: scenario refresh, log, delay, scripted failure.
CK_RV enter(const std::string& name, const std::string& args = {}) {
  if (!g_scenario.quiet || name == "C_Initialize") refresh_scenario();
  long n = ++g_calls[name];
  std::string line = args.empty() ? name : name + " " + args;
  if (auto d = g_scenario.delays_ms.find(name); d != g_scenario.delays_ms.end() && !g_scenario_held)
    std::this_thread::sleep_for(std::chrono::milliseconds(d->second));
  auto named = [&](const std::vector<std::string>& names) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  if (named(g_scenario.crash)) {
    log_call(line + " crashed");
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
  }
  if (named(g_scenario.exit_in)) {
    log_call(line + " exited");
    std::exit(0);
  }
  if (named(g_scenario.throw_in)) {
    log_call(line + " threw");
    throw std::runtime_error("the module threw in " + name);
  }
  if (named(g_scenario.hang)) {
    log_call(line + " hung");
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  if (g_wedged && name != "C_Finalize") {
    log_call(line + " failed=" + std::to_string(g_scenario.wedge_rv));
    return g_scenario.wedge_rv;
  }
  if (auto f = g_scenario.failures.find(name); f != g_scenario.failures.end())
    for (auto [call, rv] : f->second)
      if (call == 0 || call == n) {
        log_call(line + " failed=" + std::to_string(rv));
        return rv;
      }
  log_call(line);
  return CKR_OK;
}

FakeSlot* find_slot(CK_SLOT_ID id) {
  for (auto& slot : g_scenario.slots)
    if (slot.id == id) return &slot;
  return nullptr;
}

// The token of a live session; nullptr when it was pulled since the session was opened.
FakeToken* session_token(CK_SESSION_HANDLE handle, CK_RV& rv) {
  auto session = g_sessions.find(handle);
  if (session == g_sessions.end()) {
    rv = CKR_SESSION_HANDLE_INVALID;
    return nullptr;
  }
  FakeSlot* slot = find_slot(session->second.slot);
  if (slot == nullptr || !slot->present || slot->token.insertion != session->second.insertion) {
    rv = CKR_DEVICE_REMOVED;
    return nullptr;
  }
  return &slot->token;
}

#define GUARD(name, args)                      \
  std::lock_guard<std::recursive_mutex> guard(g_lock); \
  if (CK_RV scripted = enter(name, args); scripted != CKR_OK) return scripted

CK_RV C_Initialize_(CK_VOID_PTR) {
  GUARD("C_Initialize", "");
#ifdef FAKE_MODULE_DEPENDENCY
  fake_dependency_marker();
#endif
  if (g_initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  g_initialized = true;
  if (g_scenario.pid_file) std::ofstream(scenario_folder() + own_file_name() + ".pid") << fake_process_id();
  if (g_scenario.report_reach) {
    const std::string report = fake_reach_report(g_scenario.reach_probes);  // before its own file is open
    std::ofstream(scenario_folder() + own_file_name() + ".reach") << report;
  }
  return CKR_OK;
}

CK_RV C_Finalize_(CK_VOID_PTR) {
  GUARD("C_Finalize", "");
  g_initialized = false;
  g_wedged = false;
  g_sessions.clear();
  g_logged_in.clear();
  return CKR_OK;
}

CK_RV C_GetSlotList_(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  GUARD("C_GetSlotList", list == nullptr ? "count" : "list");
  std::vector<CK_SLOT_ID> present;
  for (auto& slot : g_scenario.slots)
    if (slot.present) present.push_back(slot.id);
  static CK_ULONG growth_left = 0;
  if (list == nullptr) {
    growth_left = g_scenario.slot_count_growth;
    *count = present.size() - (g_scenario.count_behind && !present.empty() ? 1 : 0);
    return CKR_OK;
  }
  if (growth_left > 0) {
    // Tokens keep arriving: answer with one more than there was room for.
    --growth_left;
    *count = *count + 1;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (*count < present.size()) {
    *count = present.size();
    return CKR_BUFFER_TOO_SMALL;
  }
  std::copy(present.begin(), present.end(), list);
  *count = present.size();
  return CKR_OK;
}

CK_RV C_GetTokenInfo_(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info) {
  GUARD("C_GetTokenInfo", "slot=" + std::to_string(id));
  FakeSlot* slot = find_slot(id);
  if (slot == nullptr || !slot->present) return CKR_TOKEN_NOT_PRESENT;
  std::memset(info, 0, sizeof *info);
  std::memcpy(info->label, slot->token.label.data(), 32);
  std::memcpy(info->serialNumber, slot->token.serial.data(), 16);
  std::memset(info->manufacturerID, ' ', sizeof info->manufacturerID);
  std::memset(info->model, ' ', sizeof info->model);
  info->flags = slot->token.flags;
  std::string utc = slot->token.utc_time;
  utc.resize(16, '0');
  std::memcpy(info->utcTime, utc.data(), 16);
  return CKR_OK;
}

CK_RV C_OpenSession_(CK_SLOT_ID id, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR handle) {
  GUARD("C_OpenSession", "slot=" + std::to_string(id) + " flags=" + std::to_string(flags));
  FakeSlot* slot = find_slot(id);
  if (slot == nullptr || !slot->present) return CKR_TOKEN_NOT_PRESENT;
  if ((flags & CKF_RW_SESSION) != 0 && slot->token.write_protected) return CKR_TOKEN_WRITE_PROTECTED;
  *handle = g_next_session++;
  g_sessions[*handle] = FakeSession{id, slot->token.insertion, {}, 0, 0, false, false, 0, false,
                                    (flags & CKF_RW_SESSION) != 0};
  return CKR_OK;
}

CK_RV C_CloseSession_(CK_SESSION_HANDLE handle) {
  GUARD("C_CloseSession", "session=" + std::to_string(handle));
  auto closing = g_sessions.find(handle);
  if (closing == g_sessions.end()) return CKR_SESSION_HANDLE_INVALID;
  std::string insertion = closing->second.insertion;
  g_sessions.erase(closing);
  // Closing a token's last session logs its user out.
  bool last = std::none_of(g_sessions.begin(), g_sessions.end(),
                           [&](const auto& s) { return s.second.insertion == insertion; });
  if (last) g_logged_in[insertion] = false;
  return CKR_OK;
}

CK_RV C_Login_(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  GUARD("C_Login", "session=" + std::to_string(handle) + (user == CKU_CONTEXT_SPECIFIC ? " context" : "") +
                       (pin == nullptr ? " no_pin" : "") + " pin_length=" + std::to_string(length));
  fake_last_pin_address = pin;
  fake_last_pin_length = length;
  CK_RV rv = CKR_OK;
  FakeToken* token = session_token(handle, rv);
  if (token == nullptr) return rv;
  FakeSession& session = g_sessions[handle];
  if (user == CKU_CONTEXT_SPECIFIC && !session.signing) return CKR_OPERATION_NOT_INITIALIZED;
  if (user != CKU_CONTEXT_SPECIFIC && g_logged_in[token->insertion]) return CKR_USER_ALREADY_LOGGED_IN;
  // No PIN: the token takes it on its reader's keypad, when it has one.
  if (pin == nullptr) {
    if ((token->flags & CKF_PROTECTED_AUTHENTICATION_PATH) == 0 || length != 0) return CKR_ARGUMENTS_BAD;
  } else if (length != token->pin.size() || std::memcmp(pin, token->pin.data(), length) != 0) {
    // Compared in place: a copy of the PIN here would be the module's, not the agent's, to wipe.
    return CKR_PIN_INCORRECT;
  }
  if (user == CKU_CONTEXT_SPECIFIC)
    session.context_login = true;
  else
    g_logged_in[token->insertion] = true;
  return CKR_OK;
}

CK_RV C_GetSessionInfo_(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info) {
  GUARD("C_GetSessionInfo", "session=" + std::to_string(handle));
  CK_RV rv = CKR_OK;
  FakeToken* token = session_token(handle, rv);
  if (token == nullptr) return rv;
  const FakeSession& session = g_sessions[handle];
  *info = CK_SESSION_INFO{};
  info->slotID = session.slot;
  info->flags = CKF_SERIAL_SESSION | (session.read_write ? CKF_RW_SESSION : 0);
  const bool user = g_logged_in[token->insertion];
  info->state = session.read_write ? (user ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION)
                                   : (user ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION);
  return CKR_OK;
}

CK_RV C_Logout_(CK_SESSION_HANDLE handle) {
  GUARD("C_Logout", "session=" + std::to_string(handle));
  CK_RV rv = CKR_OK;
  FakeToken* token = session_token(handle, rv);
  if (token == nullptr) return rv;
  if (!g_logged_in[token->insertion]) return CKR_USER_NOT_LOGGED_IN;
  g_logged_in[token->insertion] = false;
  return CKR_OK;
}

bool attribute_matches(const FakeObject& object, const CK_ATTRIBUTE& a) {
  auto bytes = [&](const std::vector<unsigned char>& v) {
    return a.ulValueLen == v.size() && (v.empty() || std::memcmp(a.pValue, v.data(), v.size()) == 0);
  };
  if (a.type == CKA_CLASS) return bytes(ulong_bytes(object.object_class));
  if (a.type == CKA_ID) return object.has_id && bytes(object.id);
  return false;
}

CK_RV C_FindObjectsInit_(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR query, CK_ULONG count) {
  GUARD("C_FindObjectsInit", "session=" + std::to_string(handle));
  CK_RV rv = CKR_OK;
  FakeToken* token = session_token(handle, rv);
  if (token == nullptr) return rv;
  if (query == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  FakeSession& session = g_sessions[handle];
  if (session.finding) return CKR_OPERATION_ACTIVE;  // one search at a time, as SoftHSM2 has it
  session.found.clear();
  session.found_pos = 0;
  session.repeated = 0;
  session.finding = true;
  for (std::size_t i = 0; i < token->objects.size(); ++i) {
    bool all = true;
    for (CK_ULONG k = 0; k < count; ++k) all = all && attribute_matches(token->objects[i], query[k]);
    if (all) session.found.push_back(i + 1);
  }
  return CKR_OK;
}

CK_RV C_FindObjects_(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR out, CK_ULONG room, CK_ULONG_PTR count) {
  GUARD("C_FindObjects", "session=" + std::to_string(handle) + " room=" + std::to_string(room));
  if (out == nullptr || count == nullptr) return CKR_ARGUMENTS_BAD;
  CK_RV rv = CKR_OK;
  if (session_token(handle, rv) == nullptr) return rv;
  FakeSession& session = g_sessions[handle];
  if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
  if (g_scenario.find_phantom) {
    *count = room;
    return CKR_OK;
  }
  if (g_scenario.find_repeat > 0 && !session.found.empty()) {
    CK_ULONG n = 0;
    for (; n < room && session.repeated < g_scenario.find_repeat; ++n, ++session.repeated) out[n] = session.found.front();
    *count = n;
    return CKR_OK;
  }
  CK_ULONG n = 0;
  while (n < room && session.found_pos < session.found.size()) out[n++] = session.found[session.found_pos++];
  *count = n == 0 ? 0 : n + g_scenario.find_overreport;
  return CKR_OK;
}

CK_RV C_FindObjectsFinal_(CK_SESSION_HANDLE handle) {
  GUARD("C_FindObjectsFinal", "session=" + std::to_string(handle));
  auto session = g_sessions.find(handle);
  if (session == g_sessions.end()) return CKR_SESSION_HANDLE_INVALID;
  session->second.finding = false;
  return CKR_OK;
}

CK_RV C_GetAttributeValue_(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR query, CK_ULONG count) {
  GUARD("C_GetAttributeValue", "session=" + std::to_string(handle) + " object=" + std::to_string(object) +
                                   " count=" + std::to_string(count));
  CK_RV rv = CKR_OK;
  FakeToken* token = session_token(handle, rv);
  if (token == nullptr) return rv;
  if (object == 0 || object > token->objects.size()) return CKR_OBJECT_HANDLE_INVALID;
  if (query == nullptr && (g_scenario.reject_null || count != 0)) return CKR_ARGUMENTS_BAD;
  const FakeObject& o = token->objects[object - 1];
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ATTRIBUTE& a = query[i];
    const std::vector<unsigned char>* value = nullptr;
    if (a.type == CKA_VALUE && o.has_value) {
      if (o.value_error != CKR_OK) {
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        result = o.value_error;
        continue;
      }
      value = &o.value;
    }
    if (a.type == CKA_ID && o.has_id) value = &o.id;
    if (a.type == CKA_KEY_TYPE && o.object_class == CKO_PRIVATE_KEY && o.has_key_type) value = &o.key_type;
    static const std::vector<unsigned char> TRUE_VALUE = {CK_TRUE};
    if (a.type == CKA_ALWAYS_AUTHENTICATE && o.always_authenticate) value = &TRUE_VALUE;
    if (a.type == CKA_SIGN && !o.sign.empty()) value = &o.sign;
    if (value == nullptr) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_ATTRIBUTE_TYPE_INVALID;
      continue;
    }
    if (a.pValue == nullptr) {
      a.ulValueLen = value->size();
      continue;
    }
    if (a.ulValueLen < value->size()) return CKR_BUFFER_TOO_SMALL;
    if (!value->empty()) std::memcpy(a.pValue, value->data(), value->size());
    a.ulValueLen = value->size() + g_scenario.attribute_overreport;
  }
  return result;
}

// A mechanism's parameter as the log shows it: its bytes in hex.
std::string parameter_text(CK_MECHANISM_PTR mechanism) {
  if (mechanism->pParameter == nullptr) return "";
  static constexpr char HEX[] = "0123456789abcdef";
  std::string text = " parameter=";
  const auto* bytes = static_cast<const unsigned char*>(mechanism->pParameter);
  for (CK_ULONG i = 0; i < mechanism->ulParameterLen; ++i) text += std::string{HEX[bytes[i] >> 4], HEX[bytes[i] & 15]};
  return text;
}

CK_RV C_GetMechanismList_(CK_SLOT_ID id, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  GUARD("C_GetMechanismList", "slot=" + std::to_string(id) + (list == nullptr ? " query" : ""));
  FakeSlot* slot = find_slot(id);
  if (slot == nullptr || !slot->present) return CKR_SLOT_ID_INVALID;
  const auto& mechanisms = slot->token.mechanisms;
  if (list != nullptr && *count < mechanisms.size()) return CKR_BUFFER_TOO_SMALL;
  for (std::size_t i = 0; list != nullptr && i < mechanisms.size(); ++i) list[i] = mechanisms[i].first;
  *count = list == nullptr && g_scenario.mechanism_count != 0 ? g_scenario.mechanism_count : mechanisms.size();
  return CKR_OK;
}

CK_RV C_GetMechanismInfo_(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  GUARD("C_GetMechanismInfo", "slot=" + std::to_string(id) + " mechanism=" + std::to_string(type));
  FakeSlot* slot = find_slot(id);
  if (slot == nullptr || !slot->present) return CKR_SLOT_ID_INVALID;
  for (const auto& [listed, listed_info] : slot->token.mechanisms)
    if (listed == type) {
      *info = listed_info;
      return CKR_OK;
    }
  return CKR_MECHANISM_INVALID;
}

CK_RV C_SignInit_(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  if (mechanism == nullptr) return CKR_ARGUMENTS_BAD;
  GUARD("C_SignInit", "session=" + std::to_string(handle) + " mechanism=" + std::to_string(mechanism->mechanism) +
                          " key=" + std::to_string(key) + parameter_text(mechanism));
  CK_RV rv = CKR_OK;
  FakeToken* token = session_token(handle, rv);
  if (token == nullptr) return rv;
  if (!g_logged_in[token->insertion]) return CKR_USER_NOT_LOGGED_IN;
  if (key == 0 || key > token->objects.size() || token->objects[key - 1].object_class != CKO_PRIVATE_KEY)
    return CKR_KEY_HANDLE_INVALID;
  FakeSession& session = g_sessions[handle];
  session.signing = true;
  session.signing_key = key;
  session.context_login = false;
  return CKR_OK;
}

// The "signature" is the data itself, then 0xAB bytes: tests see exactly what was signed.
CK_RV C_Sign_(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out, CK_ULONG_PTR out_length) {
  GUARD("C_Sign", "session=" + std::to_string(handle) + " length=" + std::to_string(length) +
                      (out == nullptr ? " query" : " sign"));
  if ((data == nullptr && length != 0) || out_length == nullptr) return CKR_ARGUMENTS_BAD;
  CK_RV rv = CKR_OK;
  FakeToken* token = session_token(handle, rv);
  if (token == nullptr) return rv;
  FakeSession& session = g_sessions[handle];
  if (!session.signing) return CKR_OPERATION_NOT_INITIALIZED;
  if (token->objects[session.signing_key - 1].always_authenticate && !session.context_login) {
    session.signing = false;
    return CKR_USER_NOT_LOGGED_IN;
  }
  const auto& lengths = g_scenario.sign_lengths;
  CK_ULONG query_length = lengths.empty() ? 64 : lengths[0];
  CK_ULONG sign_length = lengths.size() > 1 ? lengths[1] : query_length;
  if (out == nullptr) {
    *out_length = query_length;
    return CKR_OK;
  }
  CK_ULONG written = std::min(sign_length, *out_length);
  for (CK_ULONG i = 0; i < written; ++i) out[i] = i < length ? data[i] : 0xAB;
  *out_length = sign_length;
  session.signing = false;
  return CKR_OK;
}

CK_RV not_supported() { return CKR_FUNCTION_NOT_SUPPORTED; }

CK_FUNCTION_LIST g_list;

template <typename F>
void set_entry(F& entry, F implementation, const char* name) {
  for (const auto& n : g_scenario.null_entries)
    if (n == name) {
      entry = nullptr;
      return;
    }
  entry = implementation;
}

}  // namespace

extern "C" CK_SPEC CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  if (CK_RV scripted = enter("C_GetFunctionList"); scripted != CKR_OK) return scripted;
  // Every entry the agent never calls answers CKR_FUNCTION_NOT_SUPPORTED.
  using Any = CK_RV (*)();
  Any fill = reinterpret_cast<Any>(&not_supported);
  // On Windows the list is packed, so the entries are written byte-wise.
  const std::size_t first = offsetof(CK_FUNCTION_LIST, C_Initialize);
  for (std::size_t at = first; at + sizeof(Any) <= sizeof g_list; at += sizeof(Any))
    std::memcpy(reinterpret_cast<unsigned char*>(&g_list) + at, &fill, sizeof fill);
  g_list.version = {2, 40};
  set_entry(g_list.C_Initialize, &C_Initialize_, "C_Initialize");
  set_entry(g_list.C_Finalize, &C_Finalize_, "C_Finalize");
  set_entry(g_list.C_GetSlotList, &C_GetSlotList_, "C_GetSlotList");
  set_entry(g_list.C_GetTokenInfo, &C_GetTokenInfo_, "C_GetTokenInfo");
  set_entry(g_list.C_OpenSession, &C_OpenSession_, "C_OpenSession");
  set_entry(g_list.C_CloseSession, &C_CloseSession_, "C_CloseSession");
  set_entry(g_list.C_Login, &C_Login_, "C_Login");
  set_entry(g_list.C_Logout, &C_Logout_, "C_Logout");
  set_entry(g_list.C_FindObjectsInit, &C_FindObjectsInit_, "C_FindObjectsInit");
  set_entry(g_list.C_FindObjects, &C_FindObjects_, "C_FindObjects");
  set_entry(g_list.C_FindObjectsFinal, &C_FindObjectsFinal_, "C_FindObjectsFinal");
  set_entry(g_list.C_GetAttributeValue, &C_GetAttributeValue_, "C_GetAttributeValue");
  set_entry(g_list.C_SignInit, &C_SignInit_, "C_SignInit");
  set_entry(g_list.C_Sign, &C_Sign_, "C_Sign");
  set_entry(g_list.C_GetSessionInfo, &C_GetSessionInfo_, "C_GetSessionInfo");
  set_entry(g_list.C_GetMechanismList, &C_GetMechanismList_, "C_GetMechanismList");
  set_entry(g_list.C_GetMechanismInfo, &C_GetMechanismInfo_, "C_GetMechanismInfo");
  *list = &g_list;
  return CKR_OK;
}

// For a program that keeps the module loaded across many runs (the daemon fuzz target):
// the module starts over as if freshly loaded, with this scenario held in memory, and
// never sleeps.
extern "C" CK_SPEC void fake_start_over(const char* scenario) {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  g_scenario_held = true;
  if (scenario != g_scenario_stamp) {
    adopt_scenario(scenario);
  } else {
    g_calls.clear();  // the same scenario, already parsed, arrives anew
  }
  g_sessions.clear();
  g_logged_in.clear();
  g_next_session = 1;
  g_initialized = false;
}
