"""jtagbox.ScanMap against jtag-scan on the same dumps, and the loop a user
runs: dump, decode, set, shift back in, dump again."""

import json
import pathlib

import pytest

import jtagbox
from conftest import SimBoard, run

MAP = pathlib.Path(__file__).parents[2] / "share" / "scan-maps" / "sim-processors.map"
CHAIN = "cpu2.chain.0c"


@pytest.fixture
def board(tmp_path):
    b = SimBoard(tmp_path / "board")
    b.set("scan_mode=4")
    return b


def test_decode_diff_and_set_are_jtag_scans(board, tmp_path):
    scan_map = jtagbox.ScanMap(MAP)
    assert CHAIN in scan_map.chains
    length = 1454  # the map's length of processor 2's chain 0x0c
    with jtagbox.open(board.store) as b:
        first = b.scan_dump(0x0C, length)
        changed = scan_map.set(CHAIN, first, {"pc": 0x1234, "msr": 7})
        b.scan_dump(0x0C, length, pattern=changed)
        second = b.scan_dump(0x0C, length)
    assert second == changed
    for name, dump in (("a", first), ("b", second)):
        (tmp_path / name).write_text(dump.hex)

    def scan(*words, status=0):
        result = run(["jtag-scan", *words], board.store, cwd=tmp_path, check=False)
        assert result.returncode == status, result.stderr
        return json.loads(result.stdout)

    decoded = scan("decode", str(MAP), CHAIN, "b", "--json")
    assert scan_map.decode(CHAIN, second) == {k: int(v, 16) for k, v in decoded.items()}
    assert scan_map.decode(CHAIN, second, only=["pc", "ms*"]) == {"pc": 0x1234, "msr": 7}
    latches, count, first_bit = scan_map.diff(CHAIN, first, second)
    expected = scan("diff", str(MAP), CHAIN, "a", "b", "--json", status=1)
    assert latches == {k: (int(x, 16), int(y, 16)) for k, (x, y) in expected["latches"].items()}
    assert (count, first_bit) == (expected["unmapped_bits_differing"], expected["first_unmapped_bit_differing"])
    assert set(latches) == {"pc", "msr"} and latches["pc"][1] == 0x1234
    run(["jtag-scan", "set", str(MAP), CHAIN, "a", "pc=0x1234", "msr=7", "--out", "c"], board.store, cwd=tmp_path)
    assert (tmp_path / "c").read_text().strip() == changed.hex


@pytest.mark.parametrize("call,line", [
    (lambda m: m.decode("cpu9.chain.0c", "0"), "jtag-scan: {map}: no chain cpu9.chain.0c"),
    (lambda m: m.decode(CHAIN, "00"), "jtag-scan: a dump of chain cpu2.chain.0c is 364 hex digits, not 2 characters"),
    (lambda m: m.set(CHAIN, "0" * 364, {"nosuch": 1}), "jtag-scan: chain cpu2.chain.0c has no latch nosuch"),
])
def test_scan_map_errors_are_jtag_scans_lines(call, line):
    with pytest.raises(jtagbox.ArgumentError) as raised:
        call(jtagbox.ScanMap(MAP))
    assert str(raised.value) == line.format(map=MAP)
