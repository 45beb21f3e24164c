"""JtagboxDriver on the board of the --lg-env file, checked against JTAG_Reset.

    LG_JTAG_PLATFORM=sim:/tmp/board JTAGBOX_BIN=build/bin \\
      pytest --lg-env examples/labgrid/sim-board.yaml tests/labgrid

JTAGBOX_BIN is where JTAG_Reset is (the checkout's build/bin by default);
scripts/labgrid-test.sh runs this on a sim: board and over remote_bitbang.
"""

import os
import re
import subprocess
from pathlib import Path

import pytest
from labgrid.binding import StateError

import jtagbox

BIN = Path(os.environ.get("JTAGBOX_BIN", Path(__file__).resolve().parents[2] / "build" / "bin"))


def command(platform, *argv):
    """A command of the build run on the board `platform` names."""
    env = dict(os.environ, JTAG_PLATFORM=platform)
    return subprocess.run([BIN / argv[0], *argv[1:]], env=env, capture_output=True, text=True, timeout=60)


def command_idcode(platform):
    """The IDCODE, as hex text, that JTAG_Reset prints on the board `platform` names."""
    run = command(platform, "JTAG_Reset")
    match = re.fullmatch(r"IDCODE = ([0-9a-f]{8})\n", run.stdout)
    assert run.returncode == 0 and match, f"JTAG_Reset: {run.returncode} {run.stdout!r} {run.stderr!r}"
    return match.group(1)


@pytest.fixture
def platform(target):
    return target.get_resource("JtagboxPlatform").platform


@pytest.fixture
def driver(target):
    drv = target.get_driver("JtagboxDriver", activate=False)
    yield drv
    target.deactivate(drv)


# None: whichever device the board has selected.  Processor selection is a
# board service that only a sim: board carries: elsewhere the driver's board
# refuses it with the line JTAG_CPUSelect prints.  A processor's number is
# the top nibble of its IDCODE (jtagbox(7)).
@pytest.mark.parametrize("cpu", [None, 1, 3])
def test_reset_reads_what_the_command_reads(target, driver, platform, cpu):
    target.activate(driver)
    if cpu is not None and not platform.startswith("sim"):
        with pytest.raises(jtagbox.Error) as raised:
            driver.board.select_cpu(cpu)
        target.deactivate(driver)
        refused = command(platform, "JTAG_CPUSelect", str(cpu))
        assert (refused.returncode, refused.stderr) == (1, str(raised.value) + "\n")
        return
    if cpu is not None:
        driver.board.select_cpu(cpu)
    idcode = driver.board.reset()
    target.deactivate(driver)
    assert command_idcode(platform) == f"{idcode:08x}"
    assert cpu is None or idcode >> 28 == cpu


def test_board_exists_only_while_active(target, driver, platform):
    for _ in range(2):  # a second activation opens the board afresh
        with pytest.raises(StateError):
            driver.board  # pylint: disable=pointless-statement
        target.activate(driver)
        board = driver.board
        assert board.platform == platform and not board.closed
        target.deactivate(driver)
        assert board.closed
    with pytest.raises(StateError):
        driver.board  # pylint: disable=pointless-statement
