#include "system/secure_memory.h"

#include <windows.h>

namespace p11agent::platform {

void secure_zero(void* data, std::size_t size) {
  if (size != 0) SecureZeroMemory(data, size);
}

}  // namespace p11agent::platform
