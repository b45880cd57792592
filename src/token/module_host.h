#pragma once
// A module loaded in a process of its own (a module host: the program p11agent-host, or
// p11agent-host32 for a 32-bit module, started with an internal argument). The agent calls
// it through a function list whose entries carry each call across and wait for the answer
// under a deadline, so a module that hangs or crashes costs its own answers and never the
// agent. What the module sees is call for call what
// it would see loaded in the agent.
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "system/host_process.h"
#include "pkcs11/bounds.h"
#include "pkcs11/host_protocol.h"
#include "pkcs11/pkcs11_error.h"
#include "token/token_watch.h"

namespace p11agent {

class Pkcs11Module;

// Where modules are loaded: in this process (the default, for programs that test the
// layers above in one process), or each in a host of its own. Set once, before the first
// module is loaded (std::nullopt: in this process again).
struct ModuleHosting {
  std::string executable;
  std::chrono::seconds call_deadline;  // every call but loading and C_Initialize
  // How long a load that no request waits for any more may go on (SLOW_LOAD_RETRY).
  std::chrono::seconds slow_load = SLOW_LOAD_RETRY;
  // How long a killed host is waited for (HOST_END_GRACE); none where the agent ends
  // right after its hosts, so that its end is not held up by theirs.
  std::chrono::milliseconds end_grace = HOST_END_GRACE;
  // Where the 32-bit host for 32-bit modules belongs (Windows); "" where this build has
  // none. Whether it is there is asked each time one is started.
  std::string executable_32 = {};
};
void use_module_hosts(std::optional<ModuleHosting> hosting);
const ModuleHosting* module_hosting();

// An installation fault where modules live in hosts: the agent's module host is not there
// (nor any host's path, where the agent's own is unknown), so no module can be used; the
// answer's text. nullopt where the host is there, or modules are loaded in this process.
std::optional<std::string> missing_host_text();

// Starts the processes of the next `count` module hosts now, so that their start overlaps
// the work before the modules are named; the next ModuleHost::starts take them.
void prestart_module_hosts(std::size_t count);

// Whether answers are waited for awake first (ModuleHost::ANSWER_SPIN), as they are by
// default. While the agent starts its hosts on the same few processors, a spinning wait
// takes the processor a host needs; `serve` and the browser host turn it on once their
// first answer is out.
void wait_awake_for_answers(bool awake);

class ModuleHost {
 public:
  // Starts a host (the 32-bit one where asked), which loads the module from `file` (with
  // `search_folder` on its DLL search path, where not ""); the load and C_Initialize
  // together end within `load_deadline`.
  static Pkcs11Result<std::unique_ptr<ModuleHost>> start(const std::string& file, const std::string& search_folder,
                                                         std::chrono::seconds load_deadline, bool in_32bit_host = false);
  // The same over a host reached through `link` (started by the caller), its load bounded
  // by `load_until`.
  static Pkcs11Result<std::unique_ptr<ModuleHost>> start_on(std::unique_ptr<platform::HostLink> link,
                                                            const std::string& file, const std::string& search_folder,
                                                            std::chrono::seconds load_deadline,
                                                            platform::Deadline load_until);
  ~ModuleHost();
  // The stand-in entries refer to this object by its place in a fixed table.
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  // The stand-in entries; NULL where the module's own list has NULL.
  const CK_FUNCTION_LIST& functions() const { return functions_; }
  // The host timed out or died: every later call fails at once.
  bool ended() const { return failure_ != CKR_OK; }
  // The module's file, as the agent named it.
  const std::string& module_file() const { return module_file_; }

  // One call across: CKR_OK with the answer in `answer`, or the value that says why there
  // is none (the host then is ended). Used by the stand-in entries.
  // `bound`: a call that waits for a person (a PIN entered on the reader's keypad) is given
  // that long instead of the call deadline.
  CK_RV exchange(host_protocol::Writer& request, host_protocol::Bytes& answer, host_protocol::Call call,
                 std::optional<std::chrono::seconds> bound = std::nullopt);
  // An answer that does not read as one: the host is taken as dead.
  CK_RV broken();

  // After a call whose next call the host makes at once and answers unasked: a length
  // query's signature (Call::SignForLength; `room` its length), or the length query after
  // a C_SignInit (Call::SignInitAhead; `room` nullopt).
  void expect_following(CK_SESSION_HANDLE session, std::span<const std::byte> data, std::optional<CK_ULONG> room);
  // For that call (same session, data and room, or a length query): CKR_OK with the host's
  // answer, or why there is none. nullopt for any other call, which then goes across as usual.
  std::optional<CK_RV> take_following(CK_SESSION_HANDLE session, std::span<const std::byte> data,
                                      std::optional<CK_ULONG> room, host_protocol::Bytes& answer);

 private:
  ModuleHost(std::unique_ptr<platform::HostLink> process, std::chrono::seconds load_deadline,
             platform::Deadline load_until);
  CK_RV fail(CK_RV failure);
  CK_RV failed(platform::Transfer transfer, std::chrono::seconds bound);
  // `soon`: an answer expected within a millisecond (any call but loading).
  CK_RV receive(host_protocol::Bytes& answer, platform::Deadline deadline, std::chrono::seconds bound,
                bool soon = true);

  struct Following {
    CK_SESSION_HANDLE session;
    host_protocol::Bytes data;
    std::optional<CK_ULONG> room;  // nullopt: a length query's answer
  };
  // Reads and drops the answers sent ahead that no call took.
  CK_RV drop_following();

  std::unique_ptr<platform::HostLink> process_;
  std::string module_file_;
  host_protocol::Call last_call_ = host_protocol::Call::Load;  // the call that waits for an answer
  std::chrono::seconds load_deadline_;
  platform::Deadline load_until_;
  std::chrono::seconds call_deadline_;
  std::size_t place_;  // in the table of stand-in entries; none until the host has one
  CK_FUNCTION_LIST functions_{};
  CK_RV failure_ = CKR_OK;
  std::optional<Following> following_;
  // A module's answer to a call on a loaded module usually comes within a millisecond:
  // asking again for that long costs less than the wake-up of a process that went to sleep
  // (tens of microseconds on an idle processor), which every call would pay. A token that
  // takes longer is waited for asleep.
  static constexpr std::chrono::microseconds ANSWER_SPIN{1000};
  // A spin that the answer outlasted took a processor the host needed (on busy processors
  // it also costs the agent the scheduler's preference for a waking process): the next
  // SLEEP_AFTER_MISS answers are waited for asleep.
  static constexpr int SLEEP_AFTER_MISS = 32;
  int asleep_for_ = 0;
};

// C_SignInit on a module in a host, for a signature of exactly `data` whose length query is
// the next call on the session: the host makes the query at once and sends its answer
// ahead (Call::SignInitAhead), which the query then takes.
CK_RV sign_init_ahead(ModuleHost* host, CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key,
                      CK_BYTE_PTR data, CK_ULONG length);

// The host's side of the exchange: one module, loaded in the host's process, and the calls
// made on it with exactly the arguments the agent gave.
class ModuleHostServer {
 public:
  // Reads one request and writes its answer (after the answer mark); false when the
  // request does not read as one.
  bool answer(host_protocol::Reader& request, host_protocol::Writer& answer);
  // After a length query that promised the signature, or a C_SignInit that promised the
  // length query: makes the call and writes its answer as one of its own (after the answer
  // mark). False when nothing follows.
  bool answer_following(host_protocol::Writer& answer);

 private:
  // The answer the host sends next, unasked: for `length` 0 a length query's, else the
  // signature's with that room.
  struct FollowingAnswer {
    CK_SESSION_HANDLE session;
    host_protocol::Bytes data;
    bool data_present;  // the data pointer was not NULL
    CK_ULONG length;
  };
  std::optional<FollowingAnswer> following_;
  // The length query for the signature of `data`; when the length is one the agent takes,
  // the signature follows.
  void length_query(const CK_FUNCTION_LIST& f, CK_SESSION_HANDLE session, host_protocol::Bytes data,
                    bool data_present, host_protocol::Writer& answer);
  bool load(host_protocol::Reader& request, host_protocol::Writer& answer);
  bool get_attribute_value(const CK_FUNCTION_LIST& f, host_protocol::Reader& request, host_protocol::Writer& answer);
  void watch_tokens(host_protocol::Writer& answer);
  std::shared_ptr<Pkcs11Module> module_;
  // The list the last watch answered with; none before the first, which always answers it.
  std::optional<std::vector<PresentToken>> last_watched_;
  bool answered_first_ = false;  // the request that names the version comes once
};

// The host's side: loads the module the agent names and makes the calls it sends, until
// the agent ends it or goes. `arguments` are those after the internal argument.
[[noreturn]] void run_module_host(std::vector<std::string> arguments);

}  // namespace p11agent
