#include "system/late_libraries_posix.h"

#include <optional>

#include "system/library.h"

namespace p11agent::platform {

namespace {

// The file name the build's headers belong to: another major version's functions could
// take other arguments under the same names.
#define P11AGENT_TEXT(value) #value
#define P11AGENT_SONAME(base, major) base P11AGENT_TEXT(major)
constexpr const char* LIBCRYPTO_FILE = P11AGENT_SONAME("libcrypto.so.", OPENSSL_VERSION_MAJOR);

template <typename Function>
bool bind(void* library, Function*& slot, const char* name) {
  slot = reinterpret_cast<Function*>(library_symbol(library, name));
  return slot != nullptr;
}

// The library stays loaded for the life of the process: its functions may be running on
// any thread until the end.
#define P11AGENT_BIND(name) complete = bind(*library, table.name, #name) && complete;
#define P11AGENT_BOUND_TABLE(Table, file, FUNCTIONS)          \
  [] () -> std::optional<Table> {                             \
    auto library = load_library(file);                        \
    if (!library) return std::nullopt;                        \
    Table table;                                              \
    bool complete = true;                                     \
    FUNCTIONS(P11AGENT_BIND)                                  \
    if (!complete) return std::nullopt;                       \
    return table;                                             \
  }()

}  // namespace

const LibCrypto* libcrypto() {
  static const std::optional<LibCrypto> bound = P11AGENT_BOUND_TABLE(LibCrypto, LIBCRYPTO_FILE, P11AGENT_LIBCRYPTO_FUNCTIONS);
  return bound ? &*bound : nullptr;
}

const LibNettle* libnettle() {
  static const std::optional<LibNettle> bound = P11AGENT_BOUND_TABLE(LibNettle, LIBNETTLE_FILE, P11AGENT_LIBNETTLE_FUNCTIONS);
  return bound ? &*bound : nullptr;
}

const LibDbus* libdbus() {
  static const std::optional<LibDbus> bound = P11AGENT_BOUND_TABLE(LibDbus, LIBDBUS_FILE, P11AGENT_LIBDBUS_FUNCTIONS);
  return bound ? &*bound : nullptr;
}

}  // namespace p11agent::platform
