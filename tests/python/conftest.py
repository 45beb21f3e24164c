"""What the Python module's tests share: the build's programs, fresh
simulated boards, and boards behind `jtag-sim serve` (remote_bitbang)."""

import os
import pathlib
import subprocess

import pytest

import jtagbox

# The build's bin/ folder: JTAGBOX_BIN, else beside the package on the path.
BIN = pathlib.Path(os.environ.get("JTAGBOX_BIN") or pathlib.Path(jtagbox.__file__).parents[2] / "bin").resolve()


def run(argv, platform, *, trace=None, cwd=None, check=True):
    """A program of the build with JTAG_PLATFORM (and JTAG_TRACE); its result."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("JTAG_")}
    env["JTAG_PLATFORM"] = platform
    if trace:
        env["JTAG_TRACE"] = str(trace)
    result = subprocess.run([str(BIN / argv[0]), *argv[1:]], env=env, cwd=cwd, capture_output=True, text=True,
                            timeout=60)
    if check:
        assert result.returncode == 0, (argv, result.stdout, result.stderr)
    return result


class SimBoard:
    """A fresh simulated board in its own folder."""

    def __init__(self, folder):
        folder.mkdir()
        self.folder = folder
        self.store = f"sim:{folder}"
        run(["jtag-sim", "reset"], self.store)

    def set(self, *assignments):
        if assignments:
            run(["jtag-sim", "set", *assignments], self.store)

    def show(self):
        """The board state, less the line naming its folder."""
        lines = run(["jtag-sim", "show"], self.store).stdout.splitlines(keepends=True)
        return "".join(line for line in lines if not line.startswith("board: "))


class ServedBoard(SimBoard):
    """A fresh simulated board served over remote_bitbang on a free port."""

    def __init__(self, folder):
        super().__init__(folder)
        env = {k: v for k, v in os.environ.items() if not k.startswith("JTAG_")}
        env["JTAG_PLATFORM"] = self.store
        self.server = subprocess.Popen([str(BIN / "jtag-sim"), "serve", "--port", "0"], env=env,
                                       stdout=subprocess.PIPE, text=True)
        port = self.server.stdout.readline().strip()
        assert port.isdigit(), port
        self.platform = f"rbb:127.0.0.1:{port}"

    def stop(self):
        self.server.terminate()
        self.server.wait(timeout=10)
        self.server.stdout.close()


@pytest.fixture(autouse=True)
def own_state(tmp_path, monkeypatch):
    """Each test keeps its own state folder: the TAP record that a client of
    remote_bitbang keeps per server address must not pass from a test's
    server to the next one's on the same port."""
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))


@pytest.fixture(params=["sim", "rbb"])
def boards(request, tmp_path):
    """Two fresh boards alike, reached the same way: one for a command, one
    for the method; `platform` of each is what JTAG_PLATFORM takes."""
    made = []
    for name in ("command", "method"):
        if request.param == "sim":
            b = SimBoard(tmp_path / name)
            b.platform = b.store
        else:
            b = ServedBoard(tmp_path / name)
        made.append(b)
    yield made
    for b in made:
        if isinstance(b, ServedBoard):
            b.stop()
