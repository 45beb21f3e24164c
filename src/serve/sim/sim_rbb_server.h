// The simulated board behind the remote_bitbang server (serve/rbb_server.h):
// the board is taken (its lock, its state loaded afresh from board.db) when a
// byte needs it, and saved and let go when the client does not.  It tells
// TDO without a TCK, so each read is answered at once, and the server serves
// the chain the board's scan mode selects with the very device models the
// commands use.  `jtag-sim serve` is this and nothing else; jtag-serve uses
// it for a JTAG_PLATFORM that names the simulated board.
#ifndef JTAGBOX_SERVE_SIM_SIM_RBB_SERVER_H
#define JTAGBOX_SERVE_SIM_SIM_RBB_SERVER_H

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace jtag::sim {

inline constexpr int kDefaultRbbPort = 3335;

// One remote_bitbang client on the non-blocking socket `client`, of the
// simulated board in `dir`.
void serve_rbb_client(int client, const std::filesystem::path &dir);

// The simulated board's directory when the JTAG_PLATFORM value `platform`
// (null: unset, the simulated board) names it, else nothing.  Throws
// PlatformError on arguments the sim backend does not take.
std::optional<std::filesystem::path> served_board_dir(const char *platform);

// Serves the board in `dir` on 127.0.0.1:`port` (0: a free port) until
// SIGINT or SIGTERM; `listening` is told the port once the socket listens
// (the program prints it for the clients to find).  With a `wave` file,
// every rising TCK edge of every client is recorded there as a Value Change
// Dump (recorders/vcd_writer.h), TDO as the board presents it before the
// edge; the file is complete when a client leaves and when the server
// stops.  Throws PlatformError when it cannot listen or open the wave file;
// returns why the wave file could not be written in full (the server
// stopped at that), or nothing.
std::optional<std::string> serve_remote_bitbang(const std::filesystem::path &dir, int port, const std::string &wave,
                                                const std::function<void(int port)> &listening);

}  // namespace jtag::sim

#endif
