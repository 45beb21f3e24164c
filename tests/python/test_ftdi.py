"""The module over an FTDI probe: the emulated FT2232H of tests/ftdi_emulator
(found through umockdev's preload, which must be in the interpreter from its
start, so the method runs in a child interpreter), its TAP a board served
over remote_bitbang.  The module loads the FTDI backend from the build's
modules folder, as the commands do, and each method answers as its command
through a probe of its own, with the same platform trace."""

import os
import subprocess
import sys

import pytest

from conftest import BIN, ServedBoard

SETUP = ["scan_mode=4", "cpu2.creg.0x10=0xfeedface", "cpu2.l2.0x1000=0x1122334455667788"]
METHODS = """
import jtagbox
with jtagbox.open("ftdi:khz=6000", trace="method.trace", wave="", svf="") as board:
    print(f"IDCODE = {board.reset():08x}")
    print(f"{board.read_creg(0x10):016x}")
    print("".join(f"{w:016x}\\n" for w in board.read_mem(0x1000, 1)), end="")
"""
COMMANDS = [["JTAG_Reset"], ["JTAG_ReadCreg", "10"], ["JTAG_ReadMem", "1000", "1"]]


class EmulatedProbe:
    """`ftdi-emulator --daemon` on a served board; `env` is its clients'."""

    def __init__(self, served, state):
        self.process = subprocess.Popen([str(BIN / "ftdi-emulator"), "--daemon", "--rbb", served.platform[4:]],
                                        stdout=subprocess.PIPE, text=True)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("JTAG_")}
        self.env.update(LD_PRELOAD="libumockdev-preload.so.0", XDG_STATE_HOME=str(state),
                        JTAG_PLATFORM="ftdi:khz=6000", PYTHONPATH=os.pathsep.join(sys.path))
        for line in self.process.stdout:
            key, _, value = line.strip().partition("=")
            if key == "UMOCKDEV_DIR":
                self.env["UMOCKDEV_DIR"] = value
            if line.strip() == "READY":
                break
        assert "UMOCKDEV_DIR" in self.env, "ftdi-emulator did not start"

    def stop(self):
        self.process.terminate()
        assert self.process.wait(timeout=10) == 0
        self.process.stdout.close()


@pytest.fixture
def probes(tmp_path):
    """A served board and a probe on it for each side."""
    made = []
    for side in ("command", "method"):
        served = ServedBoard(tmp_path / side)
        served.set(*SETUP)
        made.append((served, EmulatedProbe(served, tmp_path / side / "state")))
    yield made
    for served, probe in made:
        probe.stop()
        served.stop()


def test_methods_over_an_ftdi_probe_are_its_commands(probes, tmp_path):
    (command_board, command_probe), (method_board, method_probe) = probes
    printed = ""
    for argv in COMMANDS:
        env = dict(command_probe.env, JTAG_TRACE=str(tmp_path / "command.trace"))
        result = subprocess.run([str(BIN / argv[0]), *argv[1:]], env=env, capture_output=True, text=True, timeout=60)
        assert (result.returncode, result.stderr) == (0, ""), argv
        printed += result.stdout
    result = subprocess.run(["/usr/bin/python3", "-c", METHODS], env=method_probe.env, cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr, result.stdout) == (0, "", printed)
    assert (tmp_path / "method.trace").read_text() == (tmp_path / "command.trace").read_text()
    assert method_board.show() == command_board.show()
