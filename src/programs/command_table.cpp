#include <cstring>
#include <iterator>

#include "main/commands.h"

namespace jtagbox {
namespace {

constexpr Command kCommands[] = {
    {.name = "JTAG_CapDR_To_Exit1DR", .handler = cmd_capdr_to_exit1dr},
    {.name = "JTAG_LoadDR", .handler = cmd_load_dr},
    {.name = "JTAG_LoadIR", .handler = cmd_load_ir},
    {.name = "JTAG_MacroDump", .handler = cmd_macro_dump},
    {.name = "JTAG_ReadCreg", .handler = cmd_read_creg},
    {.name = "JTAG_ReadMem", .handler = cmd_read_mem},
    {.name = "JTAG_Reset", .handler = cmd_reset},
    {.name = "JTAG_Shift", .handler = cmd_shift},
    {.name = "JTAG_WriteMem", .handler = cmd_write_mem},
    {.name = "JTAG_WriteCreg", .handler = cmd_write_creg},
    {.name = "JTAG_TMS", .handler = cmd_tms},
    {.name = "JTAG_Tck", .handler = cmd_tck},
    {.name = "JTAG_ScanIR_Path", .handler = cmd_scan_ir_path},
    {.name = "JTAG_ScanDump", .handler = cmd_scan_dump},
    {.name = "JTAG_ScanDR_Path", .handler = cmd_scan_dr_path},
    {.name = "JTAG_CPUSelect", .handler = cmd_cpu_select},
    {.name = "JTAG_VNXSelect", .handler = cmd_vnx_select},
    {.name = "JTAG_IRPath", .handler = cmd_ir_path},
    {.name = "JTAG_VnxClockStop", .handler = cmd_vnx_clock_stop},
    {.name = "JTAG_VnxScanDump", .handler = cmd_vnx_scan_dump},
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
