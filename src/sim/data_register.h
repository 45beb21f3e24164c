// A data register as the TAP sees it: cells that shift between TDI and TDO,
// loaded on Capture-DR and acted on at Update-DR.
#ifndef JTAGBOX_SIM_DATA_REGISTER_H
#define JTAGBOX_SIM_DATA_REGISTER_H

#include <cstdint>

#include "sim/shift_register.h"

namespace jtag::sim {

class DataRegister {
 public:
  explicit DataRegister(size_t length = 0) : cells_(length) {}
  virtual ~DataRegister() = default;
  DataRegister(const DataRegister &) = delete;
  DataRegister &operator=(const DataRegister &) = delete;

  virtual void capture() {}
  virtual void update() {}
  // The shifting cells.  Virtual so that a long register can bring its
  // contents in from disk only when something really shifts it.
  virtual ShiftRegister &cells() { return cells_; }
  // Whether the cells are kept with the board by their owner (a scan
  // chain's are its contents); the TAP keeps the others while bits are in
  // flight in them.
  virtual bool cells_kept_elsewhere() const { return false; }

 protected:
  ShiftRegister cells_;
};

// Captures a fixed value (IDCODE), ignores updates.
class ConstantRegister : public DataRegister {
 public:
  ConstantRegister(size_t length, uint64_t value) : DataRegister(length), value_(value) {}
  void capture() override { cells_.load_u64(value_); }

 private:
  uint64_t value_;
};

// The one-bit BYPASS register: captures 0.
class BypassRegister : public ConstantRegister {
 public:
  BypassRegister() : ConstantRegister(1, 0) {}
};

}  // namespace jtag::sim

#endif
