#include "base/notice.h"

namespace jtag {
namespace {

NoticeSink g_sink = nullptr;

}  // namespace

void set_notice_sink(NoticeSink sink) { g_sink = sink; }

void notice(const std::string &line) {
  if (g_sink != nullptr) g_sink(line);
}

}  // namespace jtag
