#include "token/module.h"

#include <algorithm>
#include <future>
#include <mutex>

#include "system/library.h"
#include "system/module_file.h"
#include "text/utf8.h"
#include "token/messages.h"
#include "token/module_host.h"
#include "pkcs11/pkcs11_call.h"

namespace p11agent {

Pkcs11Module::Pkcs11Module(std::string path, void* library, const CK_FUNCTION_LIST& functions)
    : path_(std::move(path)), library_(library), functions_(functions) {}

Pkcs11Module::Pkcs11Module(std::string path, std::unique_ptr<ModuleHost> host)
    : path_(std::move(path)), host_(std::move(host)), functions_(host_->functions()) {}

Pkcs11Module::~Pkcs11Module() {
  if (finalize_on_release_) (void)call("Finalize", functions_.C_Finalize, nullptr);
  if (library_ != nullptr) platform::unload_library(library_);
}

bool Pkcs11Module::host_ended() const { return host_ && host_->ended(); }

Pkcs11Result<void> Pkcs11Module::initialize() {
  std::unique_lock lock(initialized_lock_);
  if (initialized_) return std::unexpected(Pkcs11Error::of(Pkcs11Error::Kind::AlreadyInitialized));
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  auto result = call("Initialize", functions_.C_Initialize, &args);
  if (result) initialized_ = true;
  // Another holder of this library in the process initialised it and finalises it; doing
  // so here would pull it from under them.
  if (!result && result.error().answered(CKR_CRYPTOKI_ALREADY_INITIALIZED)) finalize_on_release_ = false;
  return result;
}

namespace {
bool same_path_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}
}  // namespace

std::string directory_rule_folder(const std::string& path, const std::string& file) {
  // This vendor's module loads DLLs of its own from its install folder, which is not on
  // the search path. Its 32-bit installer puts both in SysWOW64 when it names System32.
  if (!same_path_ignoring_ascii_case(path, DIRECTORY_RULE_MODULE)) return {};
  const std::string_view below_module_folder =
      DIRECTORY_RULE_FOLDER.substr(DIRECTORY_RULE_MODULE.find_last_of('\\'));
  return file.substr(0, file.find_last_of("\\/")) + std::string(below_module_folder);
}

void prepare_module_directory(const std::string& path) {
  if (std::string folder = directory_rule_folder(path, path); !folder.empty()) platform::set_library_directory(folder);
}

Pkcs11Result<ModulePtr> load_module_here(const std::string& path) {
  // The system loader would stop at a NUL and load another file than the one named.
  if (path.find('\0') != std::string::npos) return std::unexpected(Pkcs11Error::of(Pkcs11Error::Kind::LoadFailed));
  auto library = platform::load_library(path);
  if (!library) {
    return std::unexpected(Pkcs11Error::of(library.error().system_reported
                                               ? Pkcs11Error::Kind::LoadFailed
                                               : Pkcs11Error::Kind::LoadFailedUnreported));
  }
  auto get_function_list =
      reinterpret_cast<CK_C_GetFunctionList>(platform::library_symbol(*library, "C_GetFunctionList"));
  if (get_function_list == nullptr) {
    platform::unload_library(*library);
    return std::unexpected(Pkcs11Error::of(Pkcs11Error::Kind::NoFunctionListExport));
  }
  CK_FUNCTION_LIST_PTR list = nullptr;
  auto listed = call("GetFunctionList", get_function_list, &list);
  if (listed && list == nullptr) listed = std::unexpected(Pkcs11Error::returned("GetFunctionList", CKR_GENERAL_ERROR));
  if (!listed) {
    platform::unload_library(*library);
    return std::unexpected(listed.error());
  }
  // The list is copied: a module that later rewrites its own table cannot redirect us.
  return std::make_shared<Pkcs11Module>(path, *library, *list);
}

namespace {

Pkcs11Result<ModulePtr> load_module_where_modules_live(const std::string& path, bool directory_rule,
                                                      std::chrono::seconds deadline) {
  // The system's loader would wait on a FIFO for as long as nobody writes to it.
  const auto file = platform::find_module_file(path);
  if (file && file->machine.machine == platform::Machine::NotAFile)
    return std::unexpected(Pkcs11Error::of(Pkcs11Error::Kind::NotAFile));
  if (module_hosting() == nullptr) {
    if (directory_rule) prepare_module_directory(path);
    return load_module_here(path);
  }
  // A 32-bit module goes to the 32-bit host, which opens it where it really is; a path
  // with no file behind it goes to the usual host, whose loader says so.
  const bool in_32bit_host = file && file->in_32bit_host;
  const std::string& opened = in_32bit_host ? file->file : path;
  // The host applies the directory rule to itself alone.
  auto host = ModuleHost::start(opened, directory_rule ? directory_rule_folder(path, opened) : std::string(), deadline,
                                in_32bit_host);
  if (!host) return std::unexpected(host.error());
  return std::make_shared<Pkcs11Module>(path, std::move(*host));
}

// The load begun ahead, until open_module takes it. A load nobody takes (the command failed
// first) ends with the process, which one-shot ends without waiting for anything.
struct AheadLoad {
  std::string path;
  std::future<Pkcs11Result<ModulePtr>> loaded;
};
std::optional<AheadLoad> g_ahead;

std::optional<Pkcs11Result<ModulePtr>> take_ahead_load(const std::string& path, std::chrono::seconds deadline) {
  if (!g_ahead || g_ahead->path != path || deadline != LOAD_DEADLINE) return std::nullopt;
  auto loaded = g_ahead->loaded.get();
  g_ahead.reset();
  return loaded;
}

}  // namespace

void load_module_ahead(const std::string& path) {
  if (module_hosting() == nullptr || g_ahead) return;
  g_ahead = AheadLoad{path, std::async(std::launch::async, [path] {
                        return load_module_where_modules_live(path, true, LOAD_DEADLINE);
                      })};
}

Pkcs11Result<ModulePtr> load_module(const std::string& path) {
  return load_module_where_modules_live(path, false, LOAD_DEADLINE);
}

Pkcs11Result<void> initialize_module(Pkcs11Module& module) { return module.initialize(); }

std::expected<ModulePtr, std::string> open_module(const std::string& path, std::chrono::seconds deadline) {
  auto ahead = take_ahead_load(path, deadline);
  auto module = ahead ? std::move(*ahead) : load_module_where_modules_live(path, true, deadline);
  if (!module) return std::unexpected(step::LOAD + path + ": " + module.error().text());
  if (auto init = initialize_module(**module); !init)
    return std::unexpected(step::INITIALIZE + init.error().text());
  return std::move(*module);
}

}  // namespace p11agent
