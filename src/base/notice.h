// Lines for a person watching while an operation waits (a board another
// process holds, a server that has not answered yet): the engine says them
// here and the program decides where they go.  Each program sets a sink
// that writes them to standard error after its own name; with no sink set
// they are dropped, so a caller that is a library (a script's API) never
// has the terminal written to.
#ifndef JTAGBOX_BASE_NOTICE_H
#define JTAGBOX_BASE_NOTICE_H

#include <string>

namespace jtag {

using NoticeSink = void (*)(const std::string &line);
void set_notice_sink(NoticeSink sink);
// `line` without its program's name and without a line end.
void notice(const std::string &line);

}  // namespace jtag

#endif
