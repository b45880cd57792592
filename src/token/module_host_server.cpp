// The module host's side: one module, loaded in this process, and the calls the agent
// sends it, made with exactly the arguments the agent gave.
#include <algorithm>
#include <array>
#include <optional>

#include "system/host_process.h"
#include "system/library.h"
#include "system/process.h"
#include "trace/trace.h"
#include "pkcs11/bounds.h"
#include "token/module.h"
#include "token/module_host.h"

#include "pkcs11/pkcs11_call.h"

namespace p11agent {

using host_protocol::Bytes;
using host_protocol::Call;
using host_protocol::Reader;
using host_protocol::Writer;
using host_protocol::marked_answer;

namespace {

// The module's value, as the agent may see it: one of the values the stand-in entries
// answer with on their own becomes another unknown value, which reads the same.
CK_RV passed_on(const Pkcs11Result<CK_RV>& result) { return result ? *result : HOST_MASKED_RV; }

template <typename T>
std::size_t byte_size(std::size_t count) {
  return count * sizeof(T);
}

// A buffer for the module to write into: never empty, so the module always gets a valid
// pointer where the agent gave one.
template <typename T>
std::vector<T> room_for(std::size_t count) {
  return std::vector<T>(std::max<std::size_t>(count, 1));
}

// The answers after which C_GetAttributeValue has gone through the whole template. After
// any other the call failed as a whole and the rooms hold nothing of the module's: they go
// back empty, not as the zeros (up to a walk's 16 MiB) the agent handed over.
bool fills_values(CK_RV rv) {
  return rv == CKR_OK || rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID ||
         rv == CKR_BUFFER_TOO_SMALL;
}

CK_ULONG capped(std::uint64_t value, CK_ULONG cap) { return value > cap ? cap : static_cast<CK_ULONG>(value); }

// The bytes as the module's input: a private copy (wiped when it goes), never NULL when
// the agent's pointer was not.
struct Input {
  Bytes bytes;
  bool present = false;
  CK_BYTE_PTR pointer() {
    if (!present) return nullptr;
    if (bytes.empty()) bytes.resize(1);
    return reinterpret_cast<CK_BYTE_PTR>(bytes.data());
  }
};

Input read_input(Reader& r) {
  std::span<const std::byte> view;
  Input input;
  input.present = r.optional_bytes(view);
  input.bytes.assign(view.begin(), view.end());
  return input;
}

// A mechanism as the agent sent it: a flag for NULL, then its type and parameter.
struct Mechanism {
  bool present = false;
  CK_MECHANISM value{};
  Input parameter;
  CK_MECHANISM_PTR pointer() {
    if (!present) return nullptr;
    value.ulParameterLen = static_cast<CK_ULONG>(parameter.bytes.size());  // before pointer() may grow it
    value.pParameter = parameter.pointer();
    return &value;
  }
};

Mechanism read_mechanism(Reader& r) {
  Mechanism mechanism;
  mechanism.present = r.number() != 0;
  if (!mechanism.present) return mechanism;
  mechanism.value.mechanism = static_cast<CK_MECHANISM_TYPE>(r.number());
  mechanism.parameter = read_input(r);
  return mechanism;
}

struct SignAnswer {
  CK_RV rv;
  CK_ULONG length;
};

// C_Sign into a buffer of `room` bytes (without one: the length query), and its answer:
// the value, the length the module gave, and the bytes it wrote.
SignAnswer sign_into(const CK_FUNCTION_LIST& f, CK_SESSION_HANDLE session, Input& data, bool with_room,
                     CK_ULONG room, Writer& w) {
  const auto data_length = static_cast<CK_ULONG>(data.bytes.size());  // before pointer() may grow it
  auto signature = room_for<CK_BYTE>(room);
  CK_ULONG length = room;
  const CK_RV rv = passed_on(call_rv(f.C_Sign, session, data.pointer(), data_length,
                                     with_room ? signature.data() : nullptr, &length));
  w.number(rv).number(length).bytes(signature.data(), with_room ? std::min(length, room) : 0);
  return {rv, length};
}

// A call that fills a list (or gives its count) after one argument, as remote_list sends it.
template <typename Argument, typename Value, typename Function>
void answer_list(Reader& r, Writer& w, Function entry) {
  const auto argument = static_cast<Argument>(r.number());
  const bool with_list = r.number() != 0;
  CK_ULONG count = capped(r.number(), MAX_HOST_HANDLES);
  auto values = room_for<Value>(count);
  const CK_ULONG room = count;
  w.number(passed_on(call_rv(entry, argument, with_list ? values.data() : nullptr, &count)));
  w.number(count).bytes(values.data(), with_list ? byte_size<Value>(std::min(count, room)) : 0);
}

}  // namespace

void ModuleHostServer::watch_tokens(Writer& w) {
  auto tokens = read_present_tokens(*module_);
  w.number(tokens ? CKR_OK : tokens.error().kind == Pkcs11Error::Kind::ReturnValue ? tokens.error().rv : CKR_GENERAL_ERROR);
  const bool changed = tokens && tokens != last_watched_;
  w.number(changed ? 1 : 0);
  if (!changed) return;
  write_present_tokens(w, *tokens);
  last_watched_ = std::move(*tokens);
}

bool ModuleHostServer::answer(Reader& r, Writer& w) {
  const auto call = static_cast<Call>(r.number());
  if (!r.ok()) return false;
  if (call == Call::Load) {
    if (answered_first_) return false;
    answered_first_ = true;
    if (const auto version = r.number(); version != host_protocol::VERSION) {
      w.number(host_protocol::OTHER_VERSION).number(host_protocol::VERSION);
      return r.ok();
    }
    w.number(host_protocol::SAME_VERSION);
    return load(r, w);
  }
  if (!module_) return false;
  const CK_FUNCTION_LIST& f = module_->functions();
  switch (call) {
    case Call::Initialize: {
      const bool with_args = r.number() != 0;
      CK_C_INITIALIZE_ARGS args{};
      args.flags = static_cast<CK_FLAGS>(r.number());
      w.number(passed_on(call_rv(f.C_Initialize, with_args ? &args : nullptr)));
      break;
    }
    case Call::Finalize:
      w.number(passed_on(call_rv(f.C_Finalize, nullptr)));
      break;
    case Call::GetSlotList:
      answer_list<CK_BBOOL, CK_SLOT_ID>(r, w, f.C_GetSlotList);
      break;
    case Call::GetMechanismList:
      answer_list<CK_SLOT_ID, CK_MECHANISM_TYPE>(r, w, f.C_GetMechanismList);
      break;
    case Call::GetMechanismInfo: {
      const auto slot = static_cast<CK_SLOT_ID>(r.number());
      const auto type = static_cast<CK_MECHANISM_TYPE>(r.number());
      CK_MECHANISM_INFO info{};
      w.number(passed_on(call_rv(f.C_GetMechanismInfo, slot, type, &info)));
      w.number(info.ulMinKeySize).number(info.ulMaxKeySize).number(info.flags);
      break;
    }
    case Call::GetTokenInfo: {
      const auto slot = static_cast<CK_SLOT_ID>(r.number());
      CK_TOKEN_INFO info{};
      w.number(passed_on(call_rv(f.C_GetTokenInfo, slot, &info))).bytes(&info, sizeof info);
      break;
    }
    case Call::OpenSession: {
      const auto slot = static_cast<CK_SLOT_ID>(r.number());
      const auto flags = static_cast<CK_FLAGS>(r.number());
      CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
      w.number(passed_on(call_rv(f.C_OpenSession, slot, flags, nullptr, nullptr, &session))).number(session);
      break;
    }
    case Call::GetSessionInfo: {
      CK_SESSION_INFO info{};
      w.number(passed_on(call_rv(f.C_GetSessionInfo, static_cast<CK_SESSION_HANDLE>(r.number()), &info)));
      w.number(info.slotID).number(info.state).number(info.flags).number(info.ulDeviceError);
      break;
    }
    case Call::CloseSession:
      w.number(passed_on(call_rv(f.C_CloseSession, static_cast<CK_SESSION_HANDLE>(r.number()))));
      break;
    case Call::Logout:
      w.number(passed_on(call_rv(f.C_Logout, static_cast<CK_SESSION_HANDLE>(r.number()))));
      break;
    case Call::FindObjectsFinal:
      w.number(passed_on(call_rv(f.C_FindObjectsFinal, static_cast<CK_SESSION_HANDLE>(r.number()))));
      break;
    case Call::Login: {
      const auto session = static_cast<CK_SESSION_HANDLE>(r.number());
      const auto user = static_cast<CK_USER_TYPE>(r.number());
      Input pin = read_input(r);
      w.number(passed_on(call_rv(f.C_Login, session, user, pin.pointer(), static_cast<CK_ULONG>(pin.bytes.size()))));
      break;
    }
    case Call::FindObjectsInit: {
      const auto session = static_cast<CK_SESSION_HANDLE>(r.number());
      const bool with_template = r.number() != 0;
      const auto count = capped(r.number(), MAX_HOST_HANDLES);
      if (with_template && !r.can_hold(count, 2)) return false;  // a type and a NULL flag each
      std::vector<Input> values;
      std::vector<CK_ATTRIBUTE> query = room_for<CK_ATTRIBUTE>(with_template ? count : 0);
      for (CK_ULONG i = 0; with_template && i < count && r.ok(); ++i) {
        query[i].type = static_cast<CK_ATTRIBUTE_TYPE>(r.number());
        values.push_back(read_input(r));
      }
      if (!r.ok()) return false;
      for (CK_ULONG i = 0; with_template && i < count; ++i) {
        query[i].ulValueLen = static_cast<CK_ULONG>(values[i].bytes.size());
        query[i].pValue = values[i].pointer();
      }
      w.number(passed_on(call_rv(f.C_FindObjectsInit, session, with_template ? query.data() : nullptr, count)));
      break;
    }
    case Call::FindObjects: {
      const auto session = static_cast<CK_SESSION_HANDLE>(r.number());
      const bool with_room = r.number() != 0;
      const CK_ULONG room = capped(r.number(), MAX_HOST_HANDLES);
      auto handles = room_for<CK_OBJECT_HANDLE>(room);
      CK_ULONG count = 0;
      w.number(passed_on(call_rv(f.C_FindObjects, session, with_room ? handles.data() : nullptr, room, &count)));
      w.number(count).bytes(handles.data(), with_room ? byte_size<CK_OBJECT_HANDLE>(std::min(count, room)) : 0);
      break;
    }
    case Call::GetAttributeValue:
      return get_attribute_value(f, r, w);
    case Call::WatchTokens:
      watch_tokens(w);
      break;
    case Call::SignInit: {
      const auto session = static_cast<CK_SESSION_HANDLE>(r.number());
      Mechanism mechanism = read_mechanism(r);
      const auto key = static_cast<CK_OBJECT_HANDLE>(r.number());
      if (!r.ok()) return false;
      w.number(passed_on(call_rv(f.C_SignInit, session, mechanism.pointer(), key)));
      break;
    }
    case Call::SignInitAhead: {
      const auto session = static_cast<CK_SESSION_HANDLE>(r.number());
      Mechanism mechanism = read_mechanism(r);
      const auto key = static_cast<CK_OBJECT_HANDLE>(r.number());
      Input data = read_input(r);
      if (!r.ok()) return false;
      const CK_RV rv = passed_on(call_rv(f.C_SignInit, session, mechanism.pointer(), key));
      w.number(rv);
      if (rv == CKR_OK) following_ = FollowingAnswer{session, std::move(data.bytes), data.present, 0};
      break;
    }
    case Call::SignForLength: {
      const auto session = static_cast<CK_SESSION_HANDLE>(r.number());
      Input data = read_input(r);
      if (!r.ok()) return false;
      length_query(f, session, std::move(data.bytes), data.present, w);
      break;
    }
    case Call::Sign: {
      const auto session = static_cast<CK_SESSION_HANDLE>(r.number());
      Input data = read_input(r);
      const bool with_room = r.number() != 0;
      const CK_ULONG room = capped(r.number(), MAX_HOST_SIGNATURE_BYTES);
      if (!r.ok()) return false;
      sign_into(f, session, data, with_room, room, w);
      break;
    }
    default:
      return false;
  }
  return r.ok();
}

void ModuleHostServer::length_query(const CK_FUNCTION_LIST& f, CK_SESSION_HANDLE session, Bytes bytes,
                                    bool data_present, Writer& w) {
  Input data{std::move(bytes), data_present};
  const std::size_t data_length = data.bytes.size();
  const auto [rv, length] = sign_into(f, session, data, false, 0, w);
  if (host_protocol::signature_follows(rv, length)) {
    data.bytes.resize(data_length);
    following_ = FollowingAnswer{session, std::move(data.bytes), data.present, length};
  }
}

bool ModuleHostServer::answer_following(Writer& w) {
  if (!following_ || !module_) return false;
  FollowingAnswer following = std::move(*following_);
  following_.reset();
  if (following.length == 0) {
    length_query(module_->functions(), following.session, std::move(following.data), following.data_present, w);
    return true;
  }
  Input data{std::move(following.data), following.data_present};
  sign_into(module_->functions(), following.session, data, true, following.length, w);
  return true;
}

bool ModuleHostServer::load(Reader& r, Writer& w) {
  auto path_bytes = r.bytes();
  const std::string path(reinterpret_cast<const char*>(path_bytes.data()), path_bytes.size());
  auto folder_bytes = r.bytes();
  const std::string search_folder(reinterpret_cast<const char*>(folder_bytes.data()), folder_bytes.size());
  if (!r.ok()) return false;
  if (!search_folder.empty()) platform::set_library_directory(search_folder);
  auto loaded = load_module_here(path);
  if (!loaded) {
    w.number(0).number(static_cast<std::uint64_t>(loaded.error().kind)).number(loaded.error().rv);
    w.number(0).number(0).number(0);
    return true;
  }
  module_ = std::move(*loaded);
  const CK_FUNCTION_LIST& f = module_->functions();
  const auto entries = std::to_array<const void*>({
      reinterpret_cast<const void*>(f.C_Initialize), reinterpret_cast<const void*>(f.C_Finalize),
      reinterpret_cast<const void*>(f.C_GetSlotList), reinterpret_cast<const void*>(f.C_GetTokenInfo),
      reinterpret_cast<const void*>(f.C_OpenSession), reinterpret_cast<const void*>(f.C_CloseSession),
      reinterpret_cast<const void*>(f.C_Login), reinterpret_cast<const void*>(f.C_Logout),
      reinterpret_cast<const void*>(f.C_FindObjectsInit), reinterpret_cast<const void*>(f.C_FindObjects),
      reinterpret_cast<const void*>(f.C_FindObjectsFinal), reinterpret_cast<const void*>(f.C_GetAttributeValue),
      reinterpret_cast<const void*>(f.C_SignInit), reinterpret_cast<const void*>(f.C_Sign),
      reinterpret_cast<const void*>(f.C_GetSessionInfo), reinterpret_cast<const void*>(f.C_GetMechanismList),
      reinterpret_cast<const void*>(f.C_GetMechanismInfo),
  });
  std::uint64_t null_mask = 0;
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i] == nullptr) null_mask |= std::uint64_t{1} << i;
  w.number(1).number(0).number(0).number(f.version.major).number(f.version.minor).number(null_mask);
  return true;
}

bool ModuleHostServer::get_attribute_value(const CK_FUNCTION_LIST& f, Reader& r, Writer& w) {
  const auto session = static_cast<CK_SESSION_HANDLE>(r.number());
  const auto object = static_cast<CK_OBJECT_HANDLE>(r.number());
  const bool with_template = r.number() != 0;
  const auto count = capped(r.number(), MAX_HOST_HANDLES);
  if (with_template && !r.can_hold(count, 3)) return false;  // a type, a NULL flag and a room each
  const std::size_t entries = with_template ? count : 0;
  std::vector<CK_ATTRIBUTE> query = room_for<CK_ATTRIBUTE>(entries);
  std::vector<CK_ULONG> rooms(entries);
  // Where each value goes in the one block that holds them all, each at least a byte long
  // so that the module gets a valid pointer wherever the agent gave one.
  std::vector<std::optional<std::size_t>> places(entries);
  std::size_t total = 0;
  std::size_t block_size = 0;
  for (CK_ULONG i = 0; with_template && i < count && r.ok(); ++i) {
    query[i].type = static_cast<CK_ATTRIBUTE_TYPE>(r.number());
    const bool with_value = r.number() != 0;
    const std::size_t left = std::min(MAX_ATTRIBUTE_BYTES, MAX_HOST_ATTRIBUTE_BYTES - total);
    rooms[i] = capped(r.number(), static_cast<CK_ULONG>(left));
    query[i].ulValueLen = rooms[i];
    if (with_value) {
      places[i] = block_size;
      block_size += std::max<std::size_t>(rooms[i], 1);
      total += rooms[i];
    }
  }
  if (!r.ok()) return false;
  platform::WipedBlock values(block_size);
  for (std::size_t i = 0; i < entries; ++i)
    if (places[i]) query[i].pValue = values.data() + *places[i];
  CK_ATTRIBUTE_PTR given = with_template ? query.data() : nullptr;
  const CK_RV rv = passed_on(call_rv(f.C_GetAttributeValue, session, object, given, count));
  w.number(rv);
  for (CK_ULONG i = 0; with_template && i < count; ++i) {
    const CK_ULONG written = query[i].ulValueLen;
    // The template is the module's to write: what goes back is read from where the value was
    // put, never from a pointer the module may have changed.
    if (fills_values(rv) && places[i] && written != CK_UNAVAILABLE_INFORMATION)
      w.number(written).bytes(values.data() + *places[i], std::min(written, rooms[i]));
    else
      w.number(written).bytes(nullptr, 0);
  }
  return true;
}


namespace {

// `soon`: the request is expected at once (one that follows an answer on a loaded module).
std::optional<Bytes> read_request(bool soon) {
  std::array<std::byte, 4> head;
  if (!platform::host_read_exact(head, soon)) return std::nullopt;
  const std::size_t length = host_protocol::frame_length(head);
  if (length > host_protocol::MAX_FRAME) return std::nullopt;
  Bytes request(length);
  if (!platform::host_read_exact(request)) return std::nullopt;
  return request;
}

}  // namespace

void run_module_host(std::vector<std::string> arguments) {
  // The trace is the agent's: the host, which has the agent's environment, writes none.
  platform::never_trace();
  if (!platform::take_host_pipes(arguments) || !arguments.empty()) platform::end_process_now(2);
  // It leaves no dump and no error dialog, whatever the agent's environment says.
  platform::set_process_error_mode();
  platform::end_with_parent();
  // The module stays loaded until the process ends: the agent has finalised it by then,
  // or has gone, and unloading is the system's work.
  ModuleHostServer host;
  // A host started ahead of its module waits for the first request asleep.
  // Whatever is thrown (a module's C++ exception through its C functions, an allocation
  // that failed) ends the host at once, without a dump: the agent takes it as a broken host.
  try {
    for (bool first = true;; first = false) {
      auto request = read_request(!first);
      if (!request) platform::end_process_now(0);
      Reader reader(*request);
      Writer answer = marked_answer();
      if (!host.answer(reader, answer) || !platform::host_write_all(answer.frame())) platform::end_process_now(1);
      for (Writer following = marked_answer(); host.answer_following(following); following = marked_answer())
        if (!platform::host_write_all(following.frame())) platform::end_process_now(1);
    }
  } catch (...) {
    platform::end_process_now(1);
  }
}

}  // namespace p11agent
