// JTAG_PLATFORM=ftdi[:KEY=VALUE,...] (or ftdi:SERIAL): the commands drive a
// JTAG probe built on an FTDI chip with an MPSSE (FT2232H, FT232H, FT4232H,
// FT2232D) through libftdi1, on ADBUS0 TCK, ADBUS1 TDI, ADBUS2 TDO, ADBUS3
// TMS, with optional active-low TRST and SRST on other pins (ftdi_options.h).
//
// Work whose TDO nobody waits for is only gathered (mpsse_encoder.h) and
// goes out in writes of up to 64 KiB, each one USB bulk transfer, while IN
// transfers take the answers (bulk_pipe.h): the chip buffers only 4 KiB
// each way and stops taking commands when its answers are not read.  A
// read goes out with the commands around it, and its answers are taken
// when something needs them; a round trip happens only where TDO must be
// seen before the work can go on.
//
// Every answer is checked against what the commands sent call for: a
// refused command (0xFA and the command), an answer nobody asked for, no
// answer within kAnswerSeconds, an unplugged probe, each ends the command
// with one line.  The chip is put in step at open by the documented bad
// command 0xAA, answered 0xFA 0xAA, the first command of the first write;
// every wait for answers ends with the same marker, so a command exits 0
// only when the chip has acted on everything.
//
// The probe carries the JTAG lines and nothing else: the backend has no
// board services.  The TAP record lives in the user's state directory, one
// per probe and channel (backends/tap_record_file.h).
#ifndef JTAGBOX_BACKENDS_FTDI_FTDI_BACKEND_H
#define JTAGBOX_BACKENDS_FTDI_FTDI_BACKEND_H

#include "backends/backend.h"
#include "backends/backend_arguments.h"

namespace jtag::ftdi {

inline constexpr int kAnswerSeconds = 3;
// The udev rule the package installs for the probes' USB IDs.
inline constexpr const char *kUdevRule = "/usr/lib/udev/rules.d/60-jtagbox-ftdi.rules";

// Throws PlatformError.
Backend open_ftdi_backend(const BackendArguments &arguments);

}  // namespace jtag::ftdi

#endif
