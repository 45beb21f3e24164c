#include <cstring>
#include <iterator>

#include "main/commands.h"

namespace jtagbox {
namespace {

constexpr Command kCommands[] = {
    {"JTAG_CapDR_To_Exit1DR", cmd_capdr_to_exit1dr},
    {"JTAG_LoadDR", cmd_load_dr},
    {"JTAG_LoadIR", cmd_load_ir},
    {"JTAG_MacroDump", cmd_macro_dump},
    {"JTAG_ReadCreg", cmd_read_creg},
    {"JTAG_ReadMem", cmd_read_mem},
    {"JTAG_Reset", cmd_reset},
    {"JTAG_Shift", cmd_shift},
    {"JTAG_WriteMem", cmd_write_mem},
    {"JTAG_WriteCreg", cmd_write_creg},
    {"JTAG_TMS", cmd_tms},
    {"JTAG_Tck", cmd_tck},
    {"JTAG_ScanIR_Path", cmd_scan_ir_path},
    {"JTAG_ScanDump", cmd_scan_dump},
    {"JTAG_ScanDR_Path", cmd_scan_dr_path},
    {"JTAG_CPUSelect", cmd_cpu_select},
    {"JTAG_VNXSelect", cmd_vnx_select},
    {"JTAG_IRPath", cmd_ir_path},
    {"JTAG_VnxClockStop", cmd_vnx_clock_stop},
    {"JTAG_VnxScanDump", cmd_vnx_scan_dump},
};

// The GNU basename rule: everything after the last '/', without touching
// the argument ("/usr/bin/" gives "").
const char *last_path_component(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

}  // namespace

const Command *command_table(int &count) {
  count = static_cast<int>(std::size(kCommands));
  return kCommands;
}

CommandHandler find_command(const char *invocation_name) {
  if (invocation_name == nullptr) return nullptr;
  const char *name = last_path_component(invocation_name);
  for (const Command &c : kCommands)
    if (std::strcmp(c.name, name) == 0) return c.handler;
  return nullptr;
}

}  // namespace jtagbox
