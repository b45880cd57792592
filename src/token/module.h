#pragma once
// Known modules, loading, initialisation, and the shared loaded module.
#include <chrono>
#include <memory>
#include <shared_mutex>
#include <vector>
#include <string>

#include "pkcs11/bounds.h"
#include "pkcs11/pkcs11_error.h"

namespace p11agent {

// The known modules, in the order every search tries them, and the one `enumerate` opens
// when none is named (the last of them). On Linux, unless the build names them, they are
// the modules p11-kit registers for its proxy, each loaded on its own; they are asked for
// in a module host, so that no vendor code runs in the agent for the question, until a
// question is answered (one that failed or passed its bound leaves none known for now).
const std::vector<std::string>& default_modules();
const std::string& default_enumerate_module();

// The module that needs a private DLL search folder, and that folder.
inline constexpr std::string_view DIRECTORY_RULE_MODULE = "C:\\Windows\\System32\\SignatureP11.dll";
inline constexpr std::string_view DIRECTORY_RULE_FOLDER =
    "C:\\Windows\\System32\\Watchdata\\PROXKey CSP India V3.0";

class ModuleHost;

// One loaded module. Shared by its sessions; the last holder's release finalises it
// (whether or not C_Initialize ever succeeded, unless it answered that the library was
// already initialised) and unloads the library, or ends the module's host.
class Pkcs11Module {
 public:
  Pkcs11Module(std::string path, void* library, const CK_FUNCTION_LIST& functions);
  Pkcs11Module(std::string path, std::unique_ptr<ModuleHost> host);
  ~Pkcs11Module();
  // The library handle and the module's state belong to exactly one owner.
  Pkcs11Module(const Pkcs11Module&) = delete;
  Pkcs11Module& operator=(const Pkcs11Module&) = delete;

  const std::string& path() const { return path_; }
  const CK_FUNCTION_LIST& functions() const { return functions_; }

  Pkcs11Result<void> initialize();

  // The module's host did not answer in time or died: the module is gone, and a fresh
  // load is the only way back.
  bool host_ended() const;
  // The host the module runs in; nullptr for a module loaded in this process.
  ModuleHost* host() const { return host_.get(); }

 private:
  std::string path_;
  void* library_ = nullptr;
  std::unique_ptr<ModuleHost> host_;
  CK_FUNCTION_LIST functions_;
  std::shared_mutex initialized_lock_;
  bool initialized_ = false;
  bool finalize_on_release_ = true;
};

using ModulePtr = std::shared_ptr<Pkcs11Module>;

// The modules p11-kit registers for its proxy, from its configuration (none on Windows).
std::vector<std::string> registered_modules();

// The folder the directory rule puts on the DLL search path for the module at `path`, when
// it is the one module that needs it, opened as `file` (its own path, or where a 32-bit
// module really is): the vendor's install folder beside that file. "" for every other module.
std::string directory_rule_folder(const std::string& path, const std::string& file);
// The search folder rule for the one module that needs it; process-wide, never undone.
void prepare_module_directory(const std::string& path);
// Loads the library into this process; a module host loads its module with it.
Pkcs11Result<ModulePtr> load_module_here(const std::string& path);
// Loads the module where the agent loads modules (in a host of its own, once hosts are in
// use), without the directory rule.
Pkcs11Result<ModulePtr> load_module(const std::string& path);
Pkcs11Result<void> initialize_module(Pkcs11Module& module);
// prepare_module_directory, load_module, initialize_module, with the step prefixes; a
// hosted module's load and C_Initialize share `deadline`, counted from its host's start.
std::expected<ModulePtr, std::string> open_module(const std::string& path,
                                                  std::chrono::seconds deadline = LOAD_DEADLINE);
// Begins the load (not C_Initialize) of the module a one-shot command names in its host,
// while the agent's own checks go on; the next open_module of that path takes it. Nothing
// where modules are loaded in this process. Called from one thread, which opens it.
void load_module_ahead(const std::string& path);

}  // namespace p11agent
