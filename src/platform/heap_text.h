// Heap texts handed across the platform boundary: malloc()ed so that the
// commands may free() them.
#ifndef JTAGBOX_PLATFORM_HEAP_TEXT_H
#define JTAGBOX_PLATFORM_HEAP_TEXT_H

#include <cstddef>
#include <string_view>

namespace jtag {

// malloc(size), or one line on standard error and exit status 1 when the
// memory is not there: a shift of two billion bits must fail cleanly.
char *checked_malloc(size_t size);
// A NUL-terminated malloc()ed copy of `text`.
char *heap_copy(std::string_view text);

}  // namespace jtag

#endif
