#include "system/secure_memory.h"

#include <string.h>

namespace p11agent::platform {

void secure_zero(void* data, std::size_t size) {
  if (size != 0) explicit_bzero(data, size);
}

}  // namespace p11agent::platform
