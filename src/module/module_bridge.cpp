#include "module/module_bridge.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "backends/module_interface.h"

// One open board, as the engine holds it.
struct jtagbox_module_board {
  jtag::Backend backend;
};

namespace jtag::module {
namespace {

void say(jtagbox_module_error *error, const char *line) {
  const size_t n = std::min(std::strlen(line), sizeof error->line - 1);
  std::memcpy(error->line, line, n);
  error->line[n] = '\0';
}

// The body's exceptions as the interface's statuses.
template <typename Body>
int guarded(jtagbox_module_error *error, Body body) noexcept {
  try {
    body();
    return JTAGBOX_MODULE_OK;
  } catch (const std::bad_alloc &) {
    return JTAGBOX_MODULE_NO_MEMORY;
  } catch (const PlatformError &e) {
    say(error, e.what());
    error->kind = int32_t(e.kind());
  } catch (const std::exception &e) {
    say(error, e.what());
  } catch (...) {
    say(error, "the module failed without saying why");
  }
  return JTAGBOX_MODULE_FAILED;
}

BackendLines &lines(jtagbox_module_board *board) { return *board->backend.lines; }

BitVector bits_in(const uint64_t *words, uint64_t bits) { return BitVector::from_words(words, size_t(bits)); }

// A shift's TDO into the engine's words, which hold `bits`.
void put(const BitVector &tdo, uint64_t bits, uint64_t *out) {
  if (tdo.size() != bits)
    throw PlatformError("the backend answered " + std::to_string(tdo.size()) + " bits for a shift of " +
                        std::to_string(bits));
  std::copy_n(tdo.words(), BitVector::word_count(tdo.size()), out);
}

int open(const char *value, const char *scheme, const char *keys, jtagbox_module_board **board,
         jtagbox_module_error *error) {
  return guarded(error, [&] {
    auto opened = std::make_unique<jtagbox_module_board>();
    opened->backend = open_backend(BackendArguments(value, scheme, keys));
    *board = opened.release();  // until close()
  });
}

void close(jtagbox_module_board *board) { delete board; }

uint32_t features(const jtagbox_module_board *board) {
  const BackendLines &l = *board->backend.lines;
  return (l.defers_shifts() ? uint32_t(JTAGBOX_MODULE_DEFERS_SHIFTS) : 0U) |
         (l.has_trst() ? uint32_t(JTAGBOX_MODULE_HAS_TRST) : 0U) |
         (l.has_srst() ? uint32_t(JTAGBOX_MODULE_HAS_SRST) : 0U);
}

int describe(const jtagbox_module_board *board, char *text, size_t size, jtagbox_module_error *error) {
  return guarded(error, [&] {
    const std::string line = board->backend.lines->describe();
    const size_t n = std::min(line.size(), size - 1);
    std::memcpy(text, line.data(), n);
    text[n] = '\0';
  });
}

int clock(jtagbox_module_board *board, int tms, int tdi, int *tdo, jtagbox_module_error *error) {
  return guarded(error, [&] { *tdo = lines(board).clock(tms != 0, tdi != 0) ? 1 : 0; });
}

int pulse(jtagbox_module_board *board, int tms, int tdi, jtagbox_module_error *error) {
  return guarded(error, [&] { lines(board).pulse(tms != 0, tdi != 0); });
}

int reset_tap(jtagbox_module_board *board, int tdi, jtagbox_module_error *error) {
  return guarded(error, [&] { lines(board).reset_tap(tdi != 0); });
}

int shift(jtagbox_module_board *board, uint32_t how, const uint64_t *in, uint64_t bits, uint64_t *out,
          jtagbox_module_error *error) {
  return guarded(error, [&] {
    const BitVector tdi = bits_in(in, bits);
    const bool recycle = (how & JTAGBOX_SHIFT_RECYCLE) != 0;
    switch (how & ~uint32_t(JTAGBOX_SHIFT_RECYCLE)) {
      case JTAGBOX_SHIFT_BITS: put(lines(board).shift_bits(tdi, recycle), bits, out); break;
      case JTAGBOX_SHIFT_BULK: put(lines(board).shift_bulk(tdi, recycle), bits, out); break;
      case JTAGBOX_SHIFT_UNREAD: lines(board).shift_unread(tdi); break;
      case JTAGBOX_SHIFT_STAYING: put(lines(board).shift_staying(tdi, true), bits, out); break;
      case JTAGBOX_SHIFT_STAYING_UNREAD: lines(board).shift_staying(tdi, false); break;
      default: throw PlatformError("the engine asked for a shift this module does not know");
    }
  });
}

int queue_shift(jtagbox_module_board *board, const uint64_t *in, uint64_t bits, jtagbox_module_error *error) {
  return guarded(error, [&] { lines(board).queue_shift(bits_in(in, bits)); });
}

int collect_shift(jtagbox_module_board *board, uint64_t *out, uint64_t bits, jtagbox_module_error *error) {
  return guarded(error, [&] { put(lines(board).collect_shift(), bits, out); });
}

int set_reset(jtagbox_module_board *board, uint32_t line, int asserted, jtagbox_module_error *error) {
  return guarded(error, [&] {
    if (line == JTAGBOX_RESET_TRST)
      lines(board).set_trst(asserted != 0);
    else
      lines(board).set_srst(asserted != 0);
  });
}

int flush(jtagbox_module_board *board, jtagbox_module_error *error) {
  return guarded(error, [&] { lines(board).flush(); });
}

int finish(jtagbox_module_board *board, jtagbox_module_error *error) {
  return guarded(error, [&] { lines(board).finish(); });
}

int load_record(jtagbox_module_board *board, jtagbox_module_tap_record *record, jtagbox_module_error *error) {
  return guarded(error, [&] {
    const TapRecord r = board->backend.record->load();
    *record = {int32_t(r.state), r.tms ? 1 : 0, r.tdi ? 1 : 0};
  });
}

int save_record(jtagbox_module_board *board, const jtagbox_module_tap_record *record, jtagbox_module_error *error) {
  return guarded(error, [&] {
    board->backend.record->save({TapState(record->state), record->tms != 0, record->tdi != 0});
  });
}

int set_tck_hz(jtagbox_module_board *board, double hz, double *taken, jtagbox_module_error *error) {
  return guarded(error, [&] { *taken = lines(board).set_tck_hz(hz).value_or(0.0); });
}

// The identity the engine reads from the file before it loads the module.
struct IdentityNote {
  uint32_t name_size, identity_size, type;
  char name[8];
  jtagbox_module_identity identity;
};
[[gnu::used, gnu::section(".note.jtagbox"), gnu::aligned(4)]] constexpr IdentityNote kIdentity{
    sizeof(IdentityNote::name),
    sizeof(jtagbox_module_identity),
    JTAGBOX_MODULE_NOTE_TYPE,
    JTAGBOX_MODULE_NOTE_NAME,
    {JTAGBOX_MODULE_INTERFACE, JTAGBOX_VERSION}};

}  // namespace
}  // namespace jtag::module

// A constant: no code runs to make it.
extern "C" [[gnu::visibility("default")]] const jtagbox_module_table jtagbox_module = {
    JTAGBOX_MODULE_INTERFACE, jtag::module::open,        jtag::module::close,         jtag::module::features,
    jtag::module::describe,   jtag::module::clock,       jtag::module::pulse,         jtag::module::reset_tap,
    jtag::module::shift,      jtag::module::queue_shift, jtag::module::collect_shift, jtag::module::set_reset,
    jtag::module::flush,      jtag::module::finish,      jtag::module::load_record,   jtag::module::save_record,
    jtag::module::set_tck_hz,
};
