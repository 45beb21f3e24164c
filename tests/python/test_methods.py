"""Each method against its command: on two fresh boards alike, the command on
one and the method on the other give the same answer (or the same failure),
the same platform trace and the same board state, on the simulated board
and over remote_bitbang."""

import threading
import time

import pytest

import jtagbox
from conftest import SimBoard, run

# The board both sides start from: processor 2 routed, with words in its L2
# memory, a control register and a scan chain to read.
SETUP = ["scan_mode=4", "cpu2.l2.0x1000=0x1122334455667788", "cpu2.l2.0x1008=0xa5", "cpu2.creg.0x10=0xfeedface",
         "cpu2.chain.0c.length=40", "cpu2.chain.0c=0x123456789a"]


def words_file(folder, words):
    (folder / "words").write_text("".join(f"{w:x} " for w in words))
    return []


def hex_lines(text):
    return [int(line, 16) for line in text.split()]


# (method, its arguments, the command's words, what the command prints for
# the method's value; None where the command prints nothing).
CASES = [
    ("reset", (), ["JTAG_Reset"], lambda v: f"IDCODE = {v:08x}\n"),
    ("select_cpu", (1,), ["JTAG_CPUSelect", "1"], None),
    ("select_vornex", (3,), ["JTAG_VNXSelect", "3"], None),
    ("select_fullscan", (), ["JTAG_CPUSelect", "fullscan"], None),
    ("select_scandump", (), ["JTAG_CPUSelect", "scandump"], None),
    ("read_creg", (0x10,), ["JTAG_ReadCreg", "10"], lambda v: f"{v:016x}\n"),
    ("write_creg", (0x10, 0xDEADBEEF), ["JTAG_WriteCreg", "10", "deadbeef"], None),
    ("read_mem", (0x1000, 3), ["JTAG_ReadMem", "1000", "3"], lambda v: "".join(f"{w:016x}\n" for w in v)),
    ("write_mem", (0x1000, [1, 0xABC, 2**64 - 1]), ["JTAG_WriteMem", "1000", "3", "-f=words"], None),
    ("load_ir", (8, 0x81), ["JTAG_IRPath", "81", "8"], lambda v: f"{v:02x}\n"),
    ("shift_dr", (12, 0x5A5), ["JTAG_Shift", "5a5", "12"], lambda v: f"{v:03x}\n"),
    ("tms", (1,), ["JTAG_TMS", "1"], None),
    ("tck", (7,), ["JTAG_Tck", "7"], None),
]


@pytest.mark.parametrize("method,args,argv,printed", CASES, ids=[c[0] for c in CASES])
def test_method_is_its_command(boards, tmp_path, method, args, argv, printed):
    command_board, method_board = boards
    for b in boards:
        b.set(*SETUP)
    words_file(tmp_path, [1, 0xABC, 2**64 - 1])
    result = run(argv, command_board.platform, trace=tmp_path / "command.trace", cwd=tmp_path, check=False)
    with jtagbox.open(method_board.platform, trace=tmp_path / "method.trace", wave="", svf="") as board:
        if result.returncode == 0:
            value = getattr(board, method)(*args)
            assert result.stdout == (printed(value) if printed else "")
        else:  # a backend without the operation (no scan-mode switch over rbb:)
            with pytest.raises(jtagbox.Error) as raised:
                getattr(board, method)(*args)
            line = result.stderr.replace(command_board.platform, method_board.platform)
            assert (result.returncode, str(raised.value) + "\n") == (1, line)
    assert (tmp_path / "method.trace").read_text() == (tmp_path / "command.trace").read_text()
    assert method_board.show() == command_board.show()


# Scan dumps: the file the command writes is the dump's hex, byte for byte.
DUMPS = [
    ("plain", (0x0C, 40), {}, []),
    ("recycle", (0x0C, 40), {"recycle": True}, ["-r"]),
    ("pattern", (0x0C, 40), {"pattern": "f0f0f0f0f0"}, ["-f=pattern"]),
    ("accelerated", (0x0C, 40), {"accelerate": True}, ["-a"]),
    ("short", (0x0C, 13), {}, []),
]


@pytest.mark.parametrize("name,args,kwargs,options", DUMPS, ids=[d[0] for d in DUMPS])
def test_scan_dump_is_its_file(boards, tmp_path, name, args, kwargs, options):
    command_board, method_board = boards
    for b in boards:
        b.set(*SETUP)
    (tmp_path / "pattern").write_text("f0f0f0f0f0\n")
    run(["JTAG_ScanDump", "0c", str(args[1]), "dump", *options], command_board.platform,
        trace=tmp_path / "command.trace", cwd=tmp_path)
    with jtagbox.open(method_board.platform, trace=tmp_path / "method.trace") as board:
        dump = board.scan_dump(*args, **kwargs)
        # -a lasts for its call: the next shift goes bit by bit again.
        board.shift_dr(4, 0)
    run(["JTAG_Shift", "0", "4"], command_board.platform, trace=tmp_path / "command.trace")
    assert dump.hex == (tmp_path / "dump").read_text()
    assert dump.length == args[1] and dump.bits == int(dump.hex, 16)
    assert (tmp_path / "method.trace").read_text() == (tmp_path / "command.trace").read_text()
    assert method_board.show() == command_board.show()


# Bad arguments raise ArgumentError with the command's line, before anything
# reaches the board: the trace stays empty.
BAD = [
    ("select_cpu", (7,), "JTAG_CPUSelect: Error: Invalid system scan mode."),
    ("select_cpu", (4,), "JTAG_CPUSelect: Error: Invalid system scan mode."),
    ("select_vornex", (4,), "JTAG_VNXSelect: Error: Invalid system scan mode."),
    ("read_mem", (0x1000, -1), "count -1 is negative"),
    ("read_mem", (0x1000, 0), "JTAG_ReadMem: ERROR, Address/Length not specified !"),
    ("read_mem", (2**56 - 8, 2),
     "JTAG_ReadMem: ERROR, L2 address 0x100000000000000 is beyond the 56-bit address field; nothing read"),
    ("write_mem", (0, [2**64]), "JTAG_WriteMem: ERROR, Data 10000000000000000 has more than 64 bits (16 hex digits); "
                                "nothing written"),
    ("write_creg", (0x10, 2**64), "JTAG_WriteCreg: ERROR, value 0x10000000000000000 has more than 64 bits"),
    ("read_creg", (2**40,), "JTAG_ReadCreg: ERROR, Address not valid!"),
    ("scan_dump", (0x0C, -5), "length -5 is negative"),
    ("scan_dump", (0x40, 8), "JTAG_ScanDump: ERROR, chain selector 40 has more than 6 bits"),
    ("scan_dump", (0x0C, 8, "1ff"), "JTAG_ScanDump: ERROR, pattern is no hex text of at most 2 digits"),
    ("shift_dr", (4, 0x10), "JTAG_Shift: ERROR, value 0x10 does not fit 4 bits"),
    ("tms", (2,), "ERROR: Usage JTAG_TMS <value(0 or 1)>"),
    ("tck", (0,), "JTAG_Tck: ERROR, Value needs to be greater than 0 !"),
]


@pytest.mark.parametrize("method,args,line", BAD, ids=[f"{b[0]}{b[1]}" for b in BAD])
def test_bad_argument_raises_before_the_board(tmp_path, method, args, line):
    board = SimBoard(tmp_path / "board")
    before = board.show()
    with jtagbox.open(board.store, trace=tmp_path / "trace") as b:
        with pytest.raises(jtagbox.ArgumentError) as raised:
            getattr(b, method)(*args)
    assert str(raised.value) == line
    assert (tmp_path / "trace").read_text() == ""
    assert board.show() == before


@pytest.mark.parametrize("platform,kind", [("nowhere:1", jtagbox.ArgumentError),
                                            ("rbb:127.0.0.1:1", jtagbox.UnreachableError)])
def test_board_failures_raise_the_commands_line(platform, kind):
    with pytest.raises(kind) as raised:
        jtagbox.open(platform).reset()
    assert str(raised.value) + "\n" == run(["JTAG_Reset"], platform, check=False).stderr


def test_commands_run_between_calls(tmp_path):
    board = SimBoard(tmp_path / "board")
    with jtagbox.open(board.store) as b:
        b.select_cpu(0)
        first = b.reset()
        run(["JTAG_CPUSelect", "3"], board.store)
        assert b.reset() == first | (3 << 28)


def test_a_hanging_reset_times_out_and_holds_the_board_meanwhile(tmp_path):
    board = SimBoard(tmp_path / "board")
    board.set("reset_hang=1")
    with jtagbox.open(board.store) as b:
        failures = []

        def hang():
            try:
                b.reset()
            except jtagbox.Error as e:
                failures.append(e)

        started = time.monotonic()
        worker = threading.Thread(target=hang)
        worker.start()
        time.sleep(0.5)
        with pytest.raises(jtagbox.Error, match="in use by another thread"):
            b.tck(1)
        worker.join(timeout=20)
        assert time.monotonic() - started >= 5
        assert [type(e) for e in failures] == [jtagbox.TimeoutError]
        assert str(failures[0]) == "JTAG_Reset: ERROR : Timeout (5s)"


def test_two_boards_from_two_threads(tmp_path):
    boards = [SimBoard(tmp_path / f"board{i}") for i in range(2)]
    for i, b in enumerate(boards):
        b.set(f"scan_mode={[1, 5][i]}")
    results = [[], []]

    def use(i):
        with jtagbox.open(boards[i].store) as b:
            for _ in range(200):
                results[i].append(b.reset())

    threads = [threading.Thread(target=use, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    expected = [int(run(["JTAG_Reset"], b.store).stdout.split()[-1], 16) for b in boards]
    assert results == [[expected[0]] * 200, [expected[1]] * 200]
    assert expected[0] != expected[1]


def test_recorders_belong_to_the_board(tmp_path):
    """The waveform and SVF record hold every call of the board, closed with it
    (or when a board left open goes)."""
    board = SimBoard(tmp_path / "board")
    b = jtagbox.open(board.store, wave=tmp_path / "w.vcd", svf=tmp_path / "r.svf", trace="")
    b.reset()
    b.tck(3)
    del b
    run(["JTAG_Reset"], board.store, cwd=tmp_path)
    wave = (tmp_path / "w.vcd").read_text()
    assert wave.startswith("$") and wave.count("\n#") > 40
    assert "SDR 32" in (tmp_path / "r.svf").read_text()
