// The line mirrors and the debug level that the executable defines and the
// platform layer reads.
#include "platform/jtag_platform.h"

extern "C" {
int tdo = 0;
int tms = 0;
int TDI = 0;
int tclk = 0;
int bit_counter = 0;
unsigned char pport_state = 0;
int debug_level = 0;
}
