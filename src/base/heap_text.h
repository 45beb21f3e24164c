// Heap texts handed across the platform boundary: malloc()ed so that the
// commands may free() them.
#ifndef JTAGBOX_BASE_HEAP_TEXT_H
#define JTAGBOX_BASE_HEAP_TEXT_H

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace jtag {

// malloc(size); throws PlatformError (ErrorKind::Memory, "out of memory (N
// bytes)") when the memory is not there: a shift of two billion bits must
// fail cleanly.
char *checked_malloc(size_t size);
// A NUL-terminated malloc()ed copy of `text`.
char *heap_copy(std::string_view text);

// Owns one text that the platform returned (the bits of JTAG_Shift, the
// texts of bin2hex and hex2bin, ...) and free()s it when it goes.
struct FreeHeapText {
  void operator()(char *text) const noexcept { std::free(text); }
};
using HeapText = std::unique_ptr<char, FreeHeapText>;

}  // namespace jtag

#endif
