// The agent's side of a module host: the stand-in entries and the exchange under deadlines.
#include "token/module_host.h"

#include "system/files.h"
#include "system/module_file.h"
#include "system/process.h"
#include "trace/trace.h"
#include "pkcs11/bounds.h"
#include "pkcs11/call_trace.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>

namespace p11agent {

using host_protocol::Bytes;
using host_protocol::Call;
using host_protocol::Reader;
using host_protocol::Writer;

namespace {

std::optional<ModuleHosting> g_hosting;

std::mutex g_prestarted_lock;
std::vector<std::unique_ptr<platform::HostProcess>> g_prestarted;

std::unique_ptr<platform::HostProcess> new_host_process() {
  return platform::HostProcess::start(g_hosting->executable, {host_protocol::HOST_ARGUMENT}, g_hosting->end_grace);
}

// A prestarted process when there is one, a new one otherwise.
std::unique_ptr<platform::HostProcess> start_host_process() {
  {
    std::lock_guard lock(g_prestarted_lock);
    if (!g_prestarted.empty()) {
      auto process = std::move(g_prestarted.back());
      g_prestarted.pop_back();
      return process;
    }
  }
  return new_host_process();
}

// The stand-in entries have no argument that could name their host, so each host takes a
// place in this table and its list's entries are the ones made for that place.
constexpr std::size_t HOST_PLACES = 64;
std::array<std::atomic<ModuleHost*>, HOST_PLACES> g_places{};
std::atomic<bool> g_awake_for_answers{true};

std::mutex g_places_lock;

std::optional<std::size_t> take_place(ModuleHost* host) {
  std::lock_guard lock(g_places_lock);
  for (std::size_t i = 0; i < HOST_PLACES; ++i)
    if (g_places[i].load() == nullptr) {
      g_places[i].store(host);
      return i;
    }
  return std::nullopt;
}

void give_place_back(std::size_t place) {
  std::lock_guard lock(g_places_lock);
  g_places[place].store(nullptr);
}

// Copies what a module wrote, never more than the caller's buffer holds.
template <typename T>
void copy_out(std::span<const std::byte> from, T* to, std::size_t capacity) {
  if (to == nullptr) return;
  const std::size_t count = std::min(from.size() / sizeof(T), capacity);
  if (count != 0) std::memcpy(to, from.data(), count * sizeof(T));
}

// An answer: the module's value, then `read_rest` for what it carries besides.
template <typename ReadRest>
CK_RV read_answer(ModuleHost& host, const Bytes& answer, ReadRest read_rest) {
  Reader reader(answer);
  const auto rv = static_cast<CK_RV>(reader.number());
  read_rest(reader);
  if (!reader.ok()) return host.broken();
  return rv;
}

// Makes the call: CKR_OK from the exchange, then its answer.
template <typename ReadRest>
CK_RV remote(ModuleHost& host, Writer& request, Call call, ReadRest read_rest,
             std::optional<std::chrono::seconds> bound = std::nullopt) {
  Bytes answer;
  if (CK_RV failed = host.exchange(request, answer, call, bound); failed != CKR_OK) return failed;
  return read_answer(host, answer, read_rest);
}

CK_RV remote(ModuleHost& host, Writer& request, Call call) {
  return remote(host, request, call, [](Reader&) {});
}

Writer request_of(Call call) {
  Writer w;
  w.number(static_cast<std::uint64_t>(call));
  return w;
}

CK_RV remote_initialize(ModuleHost& host, CK_VOID_PTR args) {
  Writer w = request_of(Call::Initialize);
  w.number(args != nullptr ? 1 : 0);
  w.number(args != nullptr ? static_cast<CK_C_INITIALIZE_ARGS*>(args)->flags : 0);
  return remote(host, w, Call::Initialize);
}

CK_RV remote_finalize(ModuleHost& host, CK_VOID_PTR) {
  Writer w = request_of(Call::Finalize);
  return remote(host, w, Call::Finalize);
}

// The calls that fill a list (or give its count) after one argument: C_GetSlotList after
// its "token present" flag, C_GetMechanismList after the slot.
template <Call CALL, typename Argument, typename Value>
CK_RV remote_list(ModuleHost& host, Argument argument, Value* list, CK_ULONG_PTR count) {
  Writer w = request_of(CALL);
  w.number(argument).number(list != nullptr ? 1 : 0).number(*count);
  const CK_ULONG room = *count;
  return remote(host, w, CALL, [&](Reader& r) {
    *count = static_cast<CK_ULONG>(r.number());
    copy_out(r.bytes(), list, room);
  });
}

CK_RV remote_get_mechanism_info(ModuleHost& host, CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  Writer w = request_of(Call::GetMechanismInfo);
  w.number(slot).number(type);
  return remote(host, w, Call::GetMechanismInfo, [&](Reader& r) {
    info->ulMinKeySize = static_cast<CK_ULONG>(r.number());
    info->ulMaxKeySize = static_cast<CK_ULONG>(r.number());
    info->flags = static_cast<CK_FLAGS>(r.number());
  });
}

CK_RV remote_get_token_info(ModuleHost& host, CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  Writer w = request_of(Call::GetTokenInfo);
  w.number(slot);
  return remote(host, w, Call::GetTokenInfo, [&](Reader& r) {
    auto bytes = r.bytes();
    if (bytes.size() == sizeof *info) std::memcpy(info, bytes.data(), sizeof *info);
  });
}

CK_RV remote_open_session(ModuleHost& host, CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                          CK_SESSION_HANDLE_PTR session) {
  Writer w = request_of(Call::OpenSession);
  w.number(slot).number(flags);
  return remote(host, w, Call::OpenSession, [&](Reader& r) { *session = static_cast<CK_SESSION_HANDLE>(r.number()); });
}

CK_RV remote_get_session_info(ModuleHost& host, CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
  Writer w = request_of(Call::GetSessionInfo);
  w.number(session);
  return remote(host, w, Call::GetSessionInfo, [&](Reader& r) {
    info->slotID = static_cast<CK_SLOT_ID>(r.number());
    info->state = static_cast<CK_STATE>(r.number());
    info->flags = static_cast<CK_FLAGS>(r.number());
    info->ulDeviceError = static_cast<CK_ULONG>(r.number());
  });
}

// The calls that take only a session.
template <Call CALL>
CK_RV remote_on_session(ModuleHost& host, CK_SESSION_HANDLE session) {
  Writer w = request_of(CALL);
  w.number(session);
  return remote(host, w, CALL);
}

CK_RV remote_login(ModuleHost& host, CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
                   CK_ULONG length) {
  Writer w = request_of(Call::Login);
  w.number(session).number(user).optional_bytes(pin, length);
  // Without a PIN the token takes it on its reader's keypad: as long as the prompt waits.
  const auto bound = pin == nullptr ? std::optional(PIN_ENTRY_BOUND) : std::nullopt;
  return remote(host, w, Call::Login, [](Reader&) {}, bound);
}

void write_template(Writer& w, CK_ATTRIBUTE_PTR attributes, CK_ULONG count, bool with_values) {
  w.number(attributes != nullptr ? 1 : 0).number(count);
  if (attributes == nullptr) return;
  for (CK_ULONG i = 0; i < count; ++i) {
    w.number(attributes[i].type);
    if (with_values) {
      w.optional_bytes(attributes[i].pValue, attributes[i].ulValueLen);
    } else {
      w.number(attributes[i].pValue != nullptr ? 1 : 0).number(attributes[i].ulValueLen);
    }
  }
}

CK_RV remote_find_objects_init(ModuleHost& host, CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR query, CK_ULONG count) {
  Writer w = request_of(Call::FindObjectsInit);
  w.number(session);
  write_template(w, query, count, true);
  return remote(host, w, Call::FindObjectsInit);
}

CK_RV remote_find_objects(ModuleHost& host, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR found, CK_ULONG room,
                          CK_ULONG_PTR count) {
  Writer w = request_of(Call::FindObjects);
  w.number(session).number(found != nullptr ? 1 : 0).number(room);
  return remote(host, w, Call::FindObjects, [&](Reader& r) {
    *count = static_cast<CK_ULONG>(r.number());
    copy_out(r.bytes(), found, room);
  });
}

CK_RV remote_get_attribute_value(ModuleHost& host, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                 CK_ATTRIBUTE_PTR query, CK_ULONG count) {
  Writer w = request_of(Call::GetAttributeValue);
  w.number(session).number(object);
  write_template(w, query, count, false);
  return remote(host, w, Call::GetAttributeValue, [&](Reader& r) {
    if (query == nullptr) return;
    for (CK_ULONG i = 0; i < count; ++i) {
      const CK_ULONG room = query[i].ulValueLen;
      query[i].ulValueLen = static_cast<CK_ULONG>(r.number());
      copy_out(r.bytes(), static_cast<std::byte*>(query[i].pValue), room);
    }
  });
}

Writer sign_init_request(Call call, CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  Writer w = request_of(call);
  w.number(session).number(mechanism != nullptr ? 1 : 0);
  if (mechanism != nullptr)
    w.number(mechanism->mechanism).optional_bytes(mechanism->pParameter, mechanism->ulParameterLen);
  w.number(key);
  return w;
}

CK_RV remote_sign_init(ModuleHost& host, CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  Writer w = sign_init_request(Call::SignInit, session, mechanism, key);
  return remote(host, w, Call::SignInit);
}

std::span<const std::byte> data_of(CK_BYTE_PTR data, CK_ULONG length) {
  return {reinterpret_cast<const std::byte*>(data), data != nullptr ? length : 0};
}

// A length query brings the signature after it when the length is one the agent takes (see
// Call::SignForLength); the signing call that follows takes it without a message of its own.
CK_RV remote_sign(ModuleHost& host, CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
                  CK_ULONG_PTR signature_length) {
  const std::span<const std::byte> input = data_of(data, length);
  const CK_ULONG room = *signature_length;
  auto read_signature = [&](Reader& r) {
    *signature_length = static_cast<CK_ULONG>(r.number());
    copy_out(r.bytes(), reinterpret_cast<std::byte*>(signature), room);
  };
  Bytes answer;
  if (signature == nullptr) {
    CK_RV rv;
    if (auto taken = host.take_following(session, input, std::nullopt, answer)) {
      rv = *taken != CKR_OK ? *taken : read_answer(host, answer, read_signature);
    } else {
      Writer w = request_of(Call::SignForLength);
      w.number(session).optional_bytes(data, length);
      rv = remote(host, w, Call::SignForLength, read_signature);
    }
    if (host_protocol::signature_follows(rv, *signature_length)) host.expect_following(session, input, *signature_length);
    return rv;
  }
  if (auto taken = host.take_following(session, input, room, answer))
    return *taken != CKR_OK ? *taken : read_answer(host, answer, read_signature);
  Writer w = request_of(Call::Sign);
  w.number(session).optional_bytes(data, length).number(1).number(room);
  return remote(host, w, Call::Sign, read_signature);
}

// What the trace says of a call made with these arguments: the slot or session it names,
// its mechanism and the attribute types of its template.
template <Call CALL, typename... Args>
CallFacts facts_of(Args... args) {
  const auto given = std::forward_as_tuple(args...);
  CallFacts facts{CALL};
  constexpr bool ON_SLOT = CALL == Call::GetTokenInfo || CALL == Call::OpenSession || CALL == Call::GetMechanismList ||
                           CALL == Call::GetMechanismInfo;
  constexpr bool NO_HANDLE = CALL == Call::Initialize || CALL == Call::Finalize || CALL == Call::GetSlotList;
  if constexpr (ON_SLOT) {
    facts.slot = static_cast<CK_SLOT_ID>(std::get<0>(given));
  } else if constexpr (!NO_HANDLE) {
    facts.session = static_cast<CK_SESSION_HANDLE>(std::get<0>(given));
  }
  if constexpr (CALL == Call::GetMechanismInfo) facts.mechanism = std::get<1>(given);
  if constexpr (CALL == Call::SignInit) {
    if (std::get<1>(given) != nullptr) facts.mechanism = std::get<1>(given)->mechanism;
  }
  if constexpr (CALL == Call::FindObjectsInit) {
    if (std::get<1>(given) != nullptr) facts.attributes = {std::get<1>(given), std::get<2>(given)};
  }
  if constexpr (CALL == Call::GetAttributeValue) {
    if (std::get<2>(given) != nullptr) facts.attributes = {std::get<2>(given), std::get<3>(given)};
  }
  return facts;
}

// Makes the call and, where a trace is kept, writes its line: `facts` are gathered and the
// clock read only then.
template <typename Make, typename Facts>
CK_RV traced(const ModuleHost& host, Make make, Facts facts) {
  if (!platform::tracing()) return make();
  const auto began = std::chrono::steady_clock::now();
  const CK_RV rv = make();
  trace_call(host.module_file(), facts(), rv, std::chrono::steady_clock::now() - began);
  return rv;
}

// One stand-in entry: the remote call for the host in place I, traced where a trace is kept.
template <std::size_t I, Call CALL, auto REMOTE>
struct Entry;
template <std::size_t I, Call CALL, typename... Args, CK_RV (*REMOTE)(ModuleHost&, Args...)>
struct Entry<I, CALL, REMOTE> {
  static CK_RV call(Args... args) {
    ModuleHost* host = g_places[I].load();
    if (host == nullptr) return HOST_ENDED_RV;
    return traced(*host, [&] { return REMOTE(*host, args...); }, [&] { return facts_of<CALL>(args...); });
  }
};

// The entries the agent calls, in the order the null mask of a load answer gives them.
template <std::size_t I>
CK_FUNCTION_LIST entries_for_place() {
  CK_FUNCTION_LIST list{};
  list.C_Initialize = &Entry<I, Call::Initialize, remote_initialize>::call;
  list.C_Finalize = &Entry<I, Call::Finalize, remote_finalize>::call;
  list.C_GetSlotList = &Entry<I, Call::GetSlotList, remote_list<Call::GetSlotList, CK_BBOOL, CK_SLOT_ID>>::call;
  list.C_GetTokenInfo = &Entry<I, Call::GetTokenInfo, remote_get_token_info>::call;
  list.C_OpenSession = &Entry<I, Call::OpenSession, remote_open_session>::call;
  list.C_CloseSession = &Entry<I, Call::CloseSession, remote_on_session<Call::CloseSession>>::call;
  list.C_Login = &Entry<I, Call::Login, remote_login>::call;
  list.C_Logout = &Entry<I, Call::Logout, remote_on_session<Call::Logout>>::call;
  list.C_FindObjectsInit = &Entry<I, Call::FindObjectsInit, remote_find_objects_init>::call;
  list.C_FindObjects = &Entry<I, Call::FindObjects, remote_find_objects>::call;
  list.C_FindObjectsFinal = &Entry<I, Call::FindObjectsFinal, remote_on_session<Call::FindObjectsFinal>>::call;
  list.C_GetAttributeValue = &Entry<I, Call::GetAttributeValue, remote_get_attribute_value>::call;
  list.C_SignInit = &Entry<I, Call::SignInit, remote_sign_init>::call;
  list.C_Sign = &Entry<I, Call::Sign, remote_sign>::call;
  list.C_GetSessionInfo = &Entry<I, Call::GetSessionInfo, remote_get_session_info>::call;
  list.C_GetMechanismList = &Entry<I, Call::GetMechanismList, remote_list<Call::GetMechanismList, CK_SLOT_ID, CK_MECHANISM_TYPE>>::call;
  list.C_GetMechanismInfo = &Entry<I, Call::GetMechanismInfo, remote_get_mechanism_info>::call;
  return list;
}

template <std::size_t... I>
constexpr std::array<CK_FUNCTION_LIST (*)(), sizeof...(I)> entry_makers(std::index_sequence<I...>) {
  return {&entries_for_place<I>...};
}

const auto ENTRY_MAKERS = entry_makers(std::make_index_sequence<HOST_PLACES>());

// The module's NULL entries (bit n for the n-th entry of the list above) stay NULL.
void clear_null_entries(CK_FUNCTION_LIST& list, std::uint64_t null_mask) {
  auto entries = std::to_array<void**>({
      reinterpret_cast<void**>(&list.C_Initialize), reinterpret_cast<void**>(&list.C_Finalize),
      reinterpret_cast<void**>(&list.C_GetSlotList), reinterpret_cast<void**>(&list.C_GetTokenInfo),
      reinterpret_cast<void**>(&list.C_OpenSession), reinterpret_cast<void**>(&list.C_CloseSession),
      reinterpret_cast<void**>(&list.C_Login), reinterpret_cast<void**>(&list.C_Logout),
      reinterpret_cast<void**>(&list.C_FindObjectsInit), reinterpret_cast<void**>(&list.C_FindObjects),
      reinterpret_cast<void**>(&list.C_FindObjectsFinal), reinterpret_cast<void**>(&list.C_GetAttributeValue),
      reinterpret_cast<void**>(&list.C_SignInit), reinterpret_cast<void**>(&list.C_Sign),
      reinterpret_cast<void**>(&list.C_GetSessionInfo), reinterpret_cast<void**>(&list.C_GetMechanismList),
      reinterpret_cast<void**>(&list.C_GetMechanismInfo),
  });
  for (std::size_t i = 0; i < entries.size(); ++i)
    if ((null_mask >> i) & 1) *entries[i] = nullptr;
}

}  // namespace

void use_module_hosts(std::optional<ModuleHosting> hosting) { g_hosting = std::move(hosting); }

void prestart_module_hosts(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    auto process = new_host_process();
    if (!process) return;
    std::lock_guard lock(g_prestarted_lock);
    g_prestarted.push_back(std::move(process));
  }
}

const ModuleHosting* module_hosting() { return g_hosting ? &*g_hosting : nullptr; }

std::optional<std::string> missing_host_text() {
  if (!g_hosting || platform::host_presence(g_hosting->executable) == platform::HostPresence::Runnable)
    return std::nullopt;
  return Pkcs11Error::of(Pkcs11Error::Kind::HostMissing).text();
}

ModuleHost::ModuleHost(std::unique_ptr<platform::HostLink> process, std::chrono::seconds load_deadline,
                       platform::Deadline load_until)
    : process_(std::move(process)),
      load_deadline_(load_deadline),
      load_until_(load_until),
      call_deadline_(g_hosting->call_deadline),
      place_(HOST_PLACES) {}

ModuleHost::~ModuleHost() {
  process_->end();
  if (place_ != HOST_PLACES) give_place_back(place_);
}

Pkcs11Result<std::unique_ptr<ModuleHost>> ModuleHost::start(const std::string& file, const std::string& search_folder,
                                                            std::chrono::seconds load_deadline, bool in_32bit_host) {
  // The bound counts the host's own start too.
  const auto load_until = std::chrono::steady_clock::now() + load_deadline;
  // The hosts started ahead are the agent's own kind: a 32-bit module's host starts now.
  auto process = in_32bit_host ? platform::HostProcess::start(g_hosting->executable_32, {host_protocol::HOST_ARGUMENT},
                                                               g_hosting->end_grace)
                               : start_host_process();
  const std::string& executable = in_32bit_host ? g_hosting->executable_32 : g_hosting->executable;
  if (!process) {
    trace_host("not_started", file, "executable", executable);
    using enum Pkcs11Error::Kind;
    const bool missing = platform::host_presence(executable) == platform::HostPresence::Missing;
    return std::unexpected(Pkcs11Error::of(!missing ? HostNotStarted : in_32bit_host ? Host32Missing : HostMissing));
  }
  trace_host("started", file, "executable", executable + (in_32bit_host ? " (32-bit)" : " (64-bit)"));
  auto started = start_on(std::move(process), file, search_folder, load_deadline, load_until);
  if (!started) trace_host("not_loaded", file, "error", started.error().text());
  return started;
}

Pkcs11Result<std::unique_ptr<ModuleHost>> ModuleHost::start_on(std::unique_ptr<platform::HostLink> link,
                                                               const std::string& file, const std::string& search_folder,
                                                               std::chrono::seconds load_deadline,
                                                               platform::Deadline load_until) {
  std::unique_ptr<ModuleHost> host(new ModuleHost(std::move(link), load_deadline, load_until));
  host->module_file_ = file;
  auto place = take_place(host.get());
  if (!place) return std::unexpected(Pkcs11Error::of(Pkcs11Error::Kind::HostNotStarted));
  host->place_ = *place;

  // The first request says which version of the messages the agent speaks.
  Writer w = request_of(Call::Load);
  w.number(host_protocol::VERSION).bytes(file.data(), file.size()).bytes(search_folder.data(), search_folder.size());
  Bytes answer;
  if (CK_RV failed = host->exchange(w, answer, Call::Load); failed != CKR_OK)
    return std::unexpected(*Pkcs11Error::of_host(failed));
  Reader r(answer);
  if (r.number() != host_protocol::SAME_VERSION) {
    const auto version = r.number();
    host->broken();
    return std::unexpected(Pkcs11Error{Pkcs11Error::Kind::HostOtherVersion, static_cast<CK_RV>(version), {}});
  }
  const bool loaded = r.number() != 0;
  const auto kind = r.number();
  const auto rv = static_cast<CK_RV>(r.number());
  CK_FUNCTION_LIST list = ENTRY_MAKERS[*place]();
  list.version.major = static_cast<CK_BYTE>(r.number());
  list.version.minor = static_cast<CK_BYTE>(r.number());
  clear_null_entries(list, r.number());
  if (!r.ok()) return std::unexpected(*Pkcs11Error::of_host(host->broken()));
  if (!loaded) {
    using Kind = Pkcs11Error::Kind;
    switch (static_cast<Kind>(kind)) {
      case Kind::ReturnValue:  // the one load failure that names an entry point
        return std::unexpected(Pkcs11Error::returned("GetFunctionList", rv));
      case Kind::LoadFailed:
      case Kind::LoadFailedUnreported:
      case Kind::NoFunctionListExport:
        return std::unexpected(Pkcs11Error::of(static_cast<Kind>(kind)));
      default:
        return std::unexpected(*Pkcs11Error::of_host(host->broken()));
    }
  }
  host->functions_ = list;
  return host;
}

CK_RV ModuleHost::fail(CK_RV failure) {
  if (failure_ == CKR_OK) {
    failure_ = failure;
    if (failure == HOST_ENDED_RV) {
      trace_host("ended", module_file_, "during", function_name(last_call_));
    } else {
      const std::string bound = std::to_string(failure & ~HOST_NO_ANSWER_RV) + " s";
      trace_host("deadline", module_file_, "call", std::string(function_name(last_call_)) + " after " + bound);
    }
  }
  process_->end();
  return failure;
}

CK_RV ModuleHost::broken() { return fail(HOST_ENDED_RV); }

void ModuleHost::expect_following(CK_SESSION_HANDLE session, std::span<const std::byte> data,
                                  std::optional<CK_ULONG> room) {
  following_ = Following{session, Bytes(data.begin(), data.end()), room};
}

std::optional<CK_RV> ModuleHost::take_following(CK_SESSION_HANDLE session, std::span<const std::byte> data,
                                                std::optional<CK_ULONG> room, Bytes& answer) {
  if (!following_) return std::nullopt;
  const bool announced = following_->session == session && following_->room == room &&
                         std::ranges::equal(following_->data, data);
  if (!announced) return std::nullopt;  // the next exchange reads and drops it first
  following_.reset();
  if (failure_ != CKR_OK) return HOST_ENDED_RV;
  last_call_ = Call::Sign;
  return receive(answer, std::chrono::steady_clock::now() + call_deadline_, call_deadline_);
}

CK_RV ModuleHost::exchange(Writer& request, Bytes& answer, Call call, std::optional<std::chrono::seconds> bound_for_call) {
  if (failure_ != CKR_OK) return HOST_ENDED_RV;
  if (CK_RV failed = drop_following(); failed != CKR_OK) return failed;
  last_call_ = call;
  // Loading and C_Initialize share one bound, counted from the host's start.
  const bool loading = call == Call::Load || call == Call::Initialize;
  const std::chrono::seconds bound = loading ? load_deadline_ : bound_for_call.value_or(call_deadline_);
  const auto deadline = loading ? load_until_ : std::chrono::steady_clock::now() + bound;
  const Bytes& frame = request.frame();
  if (auto t = process_->write_all(frame, deadline); t != platform::Transfer::Done) return failed(t, bound);
  return receive(answer, deadline, bound, !loading);
}

CK_RV ModuleHost::drop_following() {
  // An answer the host sent unasked that no call took: the module made the call, its answer
  // is read and set aside (and a length query's signature after it, when it has one).
  while (following_) {
    const bool query = !following_->room;
    following_.reset();
    Bytes dropped;
    if (CK_RV failed = receive(dropped, std::chrono::steady_clock::now() + call_deadline_, call_deadline_);
        failed != CKR_OK)
      return failed;
    Reader answer(dropped);
    const auto rv = static_cast<CK_RV>(answer.number());
    const auto length = static_cast<CK_ULONG>(answer.number());
    // An answer that is no answer leaves nothing to say where the next one starts.
    if (!answer.ok()) return broken();
    if (query && host_protocol::signature_follows(rv, length)) following_ = Following{0, {}, length};
  }
  return CKR_OK;
}

CK_RV sign_init_ahead(ModuleHost* host, CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key,
                      CK_BYTE_PTR data, CK_ULONG length) {
  Writer w = sign_init_request(Call::SignInitAhead, session, mechanism, key);
  w.optional_bytes(data, length);
  const CK_RV rv = traced(*host, [&] { return remote(*host, w, Call::SignInitAhead); },
                          [&] { return facts_of<Call::SignInit>(session, mechanism, key); });
  if (rv == CKR_OK) host->expect_following(session, data_of(data, length), std::nullopt);
  return rv;
}

CK_RV ModuleHost::failed(platform::Transfer transfer, std::chrono::seconds bound) {
  return fail(transfer == platform::Transfer::TimedOut ? HOST_NO_ANSWER_RV | static_cast<CK_RV>(bound.count())
                                                       : HOST_ENDED_RV);
}

void wait_awake_for_answers(bool awake) { g_awake_for_answers = awake; }

CK_RV ModuleHost::receive(Bytes& answer, platform::Deadline deadline, std::chrono::seconds bound, bool soon) {
  auto failed = [&](platform::Transfer t) { return this->failed(t, bound); };
  std::array<std::byte, 4> head;
  // A load is waited for asleep: asking through it only takes the processor it needs.
  // On one processor the host cannot answer while the agent spins.
  const bool awake = soon && g_awake_for_answers && asleep_for_ == 0 && platform::runs_on_several_processors();
  if (asleep_for_ > 0) --asleep_for_;
  const auto asked = std::chrono::steady_clock::now();
  if (auto t = process_->read_exact(head, deadline, awake ? ANSWER_SPIN : std::chrono::microseconds{0});
      t != platform::Transfer::Done)
    return failed(t);
  if (awake && std::chrono::steady_clock::now() - asked > ANSWER_SPIN) asleep_for_ = SLEEP_AFTER_MISS;
  const std::size_t length = host_protocol::frame_length(head);
  if (length > host_protocol::MAX_FRAME || length < 8) return broken();
  // The room grows with what the host has sent: a length it only claims costs the agent
  // no more than a piece of it.
  constexpr std::size_t PIECE = 1u << 20;
  answer.clear();
  while (answer.size() < length) {
    const std::size_t have = answer.size();
    answer.resize(have + std::min(length - have, PIECE));
    if (auto t = process_->read_exact(std::span(answer).subspan(have), deadline, ANSWER_SPIN);
        t != platform::Transfer::Done)
      return failed(t);
  }
  Reader mark(answer);
  if (mark.number() != host_protocol::ANSWER_MARK) return broken();
  answer.erase(answer.begin(), answer.begin() + 8);
  return CKR_OK;
}

}  // namespace p11agent
