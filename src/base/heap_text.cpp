// The heap texts of base/heap_text.h.  Both sides of the platform boundary
// make them: the platform for the texts it returns, the commands for the
// copies they keep.
#include "base/heap_text.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/error.h"

namespace jtag {

char *checked_malloc(size_t size) {
  void *p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw PlatformError("out of memory (" + std::to_string(size) + " bytes)", ErrorKind::Memory);
  return static_cast<char *>(p);
}

char *heap_copy(std::string_view text) {
  char *p = checked_malloc(text.size() + 1);
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\0';
  return p;
}

}  // namespace jtag
