// The platform's name and text of an errno value, for messages that say why
// a call failed: "ENOENT (No such file or directory)".
#pragma once

#include <cstddef>

namespace NCanUtils {

// Writes "<NAME> (<text>)" into `out`; for a value the platform does not
// name, "errno <value>". The C library's own tables, untranslated.
void ErrnoText(int value, char* out, std::size_t size);

} // namespace NCanUtils
