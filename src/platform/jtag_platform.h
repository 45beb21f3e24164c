// The JTAG platform interface: the operations the commands call to drive the
// TAP, the hex/bit-string conversions, the FPGA scan accelerator and the FPGA
// register file.  The names, argument types and C linkage are those of the
// board's platform libraries, so the commands are written against exactly
// the interface they would use on the real board.
//
// Texts:
//   hex text   - hexadecimal digits, least significant digit last.  As a shift
//                pattern it denotes a binary number whose least significant
//                bit is shifted in first.  An optional leading "0x" is
//                skipped; the first character that is not a hex digit (a
//                newline, say) ends it.
//   bit string - '0'/'1' characters, most significant first.  The string a
//                shift returns has one character per bit shifted; its first
//                character is the last bit that came out of TDO.
// Every returned text is malloc()ed and belongs to the caller, who may free()
// it.  No operation reads or writes outside its buffers, whatever counts or
// texts it is given.
#ifndef JTAGBOX_PLATFORM_JTAG_PLATFORM_H
#define JTAGBOX_PLATFORM_JTAG_PLATFORM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Line mirrors and counters that the executable defines for the platform.
// The commands never touch them; the platform keeps the last driven TMS/TDI,
// the last sampled TDO, the TCK level and a running count of TCK cycles there.
extern int tdo;
extern int tms;
extern int TDI;
extern int tclk;
extern int bit_counter;
extern unsigned char pport_state;
extern int debug_level;

// Set to 1 by a command given -a: the shifts that follow take the bulk
// (accelerated) path instead of clocking bit by bit.  Defined by the platform.
extern int jtag_fpga_accelerate;

// Drive the TAP to Test-Logic-Reset (TMS high for five TCK cycles).
int JTAG_Reset(void);
// Move the TAP by the shortest TMS path to Select-IR-Scan / Select-DR-Scan.
int JTAG_Select_IR(void);
int JTAG_Select_DR(void);

// From Select-xR-Scan: Capture, Shift `count` bits (TMS 1 on the last),
// Exit1, Update, Run-Test/Idle.  `pattern` is hex text, extended at its most
// significant end with `pad` ('1' pads with ones, anything else with zeros)
// and cut to its low `count` bits.  `recycle` feeds TDO back into TDI: the
// first TDI bit comes from the pattern, every later one is the TDO bit of the
// cycle before.  `wait` is carried to the trace; this board's registers never
// need a sentinel poll.  A count of 0 or less shifts nothing and returns "".
char *JTAG_Shift(const char *pattern, int count, int recycle, int wait, char pad);
// As JTAG_Shift but starting from Capture-xR with no select before it.
// Mode 1 ends in Run-Test/Idle; mode 2 stays in Exit1-xR.
char *JTAG_Shift_internal(const char *pattern, int count, int recycle, int wait, char pad, int mode);

// Drive TMS to `level` (non-zero counts as 1) and give one TCK cycle.
int JTAG_SetTms(int level);
// One TCK cycle at the TMS level last driven.
int cycle_tclk(void);

// Route the JTAG chain; the word stays in force after the process ends.
int JTAG_system_scan_mode_select(unsigned int word);
// Low eight bits: the scan-mode word last written.  Bit 8: scan-dump
// accelerator on.  Other bits read 0.
unsigned int JTAG_read_scan_control_reg(void);

char *hex2bin(const char *hex);
char *bin2hex(const char *bits);
uint64_t hex2dec(const char *hex);
// Append `count` copies of `pad` to `text` in place (nothing for count <= 0).
// The caller provides the room.
char *pad_lsb(char *text, int count, const char *pad);

// Switch the FPGA scan-dump accelerator; 0 on success, non-zero on failure.
int jtag_pelustr_fpga_accelerate(int on);

// FPGA register file: byte registers by 32-bit address.
unsigned char fpga_get8(uint32_t address);
int fpga_put8(uint32_t address, unsigned char value);

#ifdef __cplusplus
}
#endif

#endif
