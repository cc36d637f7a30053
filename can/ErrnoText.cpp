#include "ErrnoText.h"

#include <cstdio>
#include <cstring>

namespace NCanUtils {

void ErrnoText(int value, char* out, std::size_t size) {
  if (out == nullptr || size == 0)
    return;
  const char* name = value > 0 ? strerrorname_np(value) : nullptr;
  const char* text = value > 0 ? strerrordesc_np(value) : nullptr;
  if (name != nullptr && text != nullptr)
    std::snprintf(out, size, "%s (%s)", name, text);
  else
    std::snprintf(out, size, "errno %d", value);
}

} // namespace NCanUtils
