"""Drive the board's JTAG test access ports from Python.

The same engine as the jtagbox commands (JTAG_Reset, JTAG_ReadMem, ...):
every method has the effect of its command on the board, with the same
platform trace, and takes and gives Python values instead of text::

    import jtagbox
    with jtagbox.open("sim:/tmp/board") as board:
        print(hex(board.reset()))
        board.select_cpu(2)
        words = board.read_mem(0x1000, 4)

A board holds the board only while one of its calls runs, so commands can
use the same board between calls.  Errors raise jtagbox.Error (or one of its
subclasses), whose text is the line the command would print.
"""

import json as _json
import os as _os
import warnings as _warnings

from ._jtagbox import ArgumentError, CheckError, Error, TimeoutError, UnreachableError
from ._jtagbox import Board as _EngineBoard
from ._jtagbox import ScanMap as _EngineScanMap

__all__ = [
    "ArgumentError",
    "Board",
    "CheckError",
    "Dump",
    "Error",
    "ScanMap",
    "TimeoutError",
    "UnreachableError",
    "open",
]


class Dump:
    """A scan dump: the bits that came out of a chain.

    ``hex`` is the text JTAG_ScanDump writes to its output file for the same
    arguments, byte for byte; ``length`` the bit count; ``bits`` the dump as
    one number, whose bit k is the k-th bit out of the chain.
    """

    __slots__ = ("hex", "length")

    def __init__(self, hex_text, length):
        self.hex = hex_text
        self.length = length

    @property
    def bits(self):
        return int(self.hex, 16) if self.hex else 0

    def bit(self, k):
        """Bit k of the chain (bit 0 the first out)."""
        if not 0 <= k < self.length:
            raise ArgumentError(f"bit {k} is outside a dump of {self.length} bits")
        return (self.bits >> k) & 1

    def __int__(self):
        return self.bits

    def __eq__(self, other):
        return isinstance(other, Dump) and (self.hex, self.length) == (other.hex, other.length)

    def __hash__(self):
        return hash((self.hex, self.length))

    def __repr__(self):
        return f"Dump(length={self.length}, hex={self.hex[:16]!r}{'...' if len(self.hex) > 16 else ''})"


def _int_argument(value, what):
    if isinstance(value, bool) or not isinstance(value, int):
        raise ArgumentError(f"{what} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ArgumentError(f"{what} {value} is negative")
    return value


def _hex_of(value, bits, command):
    """The hex text of a value that must fit `bits` bits."""
    _int_argument(value, "value")
    if not isinstance(bits, int) or bits <= 0:
        raise ArgumentError(f"{command}: ERROR, Pattern/Length not specified !")
    if value >> bits:
        raise ArgumentError(f"{command}: ERROR, value {value:#x} does not fit {bits} bits")
    return format(value, "x")


def _pattern_text(pattern, length):
    if pattern is None:
        return None
    if isinstance(pattern, Dump):
        return pattern.hex
    if isinstance(pattern, str):
        return pattern
    if _int_argument(pattern, "pattern") >> length:
        raise ArgumentError(f"JTAG_ScanDump: ERROR, pattern {pattern:#x} does not fit {length} bits")
    return format(pattern, "0{}x".format((length + 3) // 4))


class Board:
    """One board, named by its platform; see jtagbox.open().

    Use it from one thread at a time: a call from a second thread while one
    runs raises jtagbox.Error.  Two boards work from two threads at once.
    """

    def __init__(self, platform=None, *, trace=None, wave=None, svf=None):
        def setting(value, name):
            return _os.environ.get(name, "") if value is None else _os.fspath(value)

        if platform is not None and not isinstance(platform, str):
            raise ArgumentError(f"platform must be a str such as 'sim:DIR', not {type(platform).__name__}")
        self._board = _EngineBoard(
            platform, setting(trace, "JTAG_TRACE"), setting(wave, "JTAG_WAVE"), setting(svf, "JTAG_SVF")
        )

    @property
    def platform(self):
        """The platform text, as JTAG_PLATFORM takes it."""
        return self._board.platform

    @property
    def closed(self):
        return self._board.closed

    def close(self):
        """Close the recorders; the board stays as the last call left it."""
        self._board.close()

    def __enter__(self):
        return self

    def __del__(self):
        # As Python's own files do: a board left open is closed when it goes
        # (what its recorders hold reaches their files), with a
        # ResourceWarning, which Python shows only when asked to.
        board = getattr(self, "_board", None)
        if board is not None and not board.closed:
            _warnings.warn(f"unclosed {self!r}", ResourceWarning, stacklevel=2)
            try:
                board.close()
            except Error:
                pass

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        return f"<jtagbox.Board {self.platform!r}{' closed' if self.closed else ''}>"

    # -- the TAP --

    def reset(self):
        """JTAG_Reset: reset the TAP; the IDCODE of the selected device, as an int.

        Raises jtagbox.TimeoutError after 5 s on a reset that does not come back.
        """
        return self._board.reset()

    def load_ir(self, bits, value):
        """JTAG_IRPath VALUE BITS: shift `value` into the instruction register; what came out."""
        return int(self._board.load_ir(bits, _hex_of(value, bits, "JTAG_IRPath")) or "0", 16)

    def shift_dr(self, bits, value):
        """JTAG_Shift VALUE BITS: shift `value` through the data register; what came out."""
        return int(self._board.shift_dr(bits, _hex_of(value, bits, "JTAG_Shift")) or "0", 16)

    def tms(self, level):
        """JTAG_TMS LEVEL: one TCK with TMS at `level` (0 or 1)."""
        if level not in (0, 1) or isinstance(level, bool):
            raise ArgumentError("ERROR: Usage JTAG_TMS <value(0 or 1)>")
        self._board.tms(level)

    def tck(self, count):
        """JTAG_Tck COUNT: `count` TCKs at the TMS level last driven."""
        _int_argument(count, "count")
        self._board.tck(count)

    # -- the scan-mode switch --

    def select_cpu(self, number):
        """JTAG_CPUSelect NUMBER: route the chain to processor `number` (0 to 3)."""
        self._board.select_cpu(_int_argument(number, "cpu"))

    def select_vornex(self, number):
        """JTAG_VNXSelect NUMBER: route the chain to Vornex chip `number` (0 to 3)."""
        self._board.select_vornex(_int_argument(number, "vornex"))

    def select_fullscan(self):
        """JTAG_CPUSelect fullscan: every device in one chain."""
        self._board.select_fullscan()

    def select_scandump(self):
        """JTAG_CPUSelect scandump: the scan-dump path."""
        self._board.select_scandump()

    # -- registers and memory --

    def read_creg(self, address):
        """JTAG_ReadCreg ADDRESS: the 64-bit control register, as an int."""
        return self._board.read_creg(_int_argument(address, "address"))

    def write_creg(self, address, value):
        """JTAG_WriteCreg ADDRESS VALUE."""
        _int_argument(address, "address")
        if _int_argument(value, "value") >> 64:
            raise ArgumentError(f"JTAG_WriteCreg: ERROR, value {value:#x} has more than 64 bits")
        self._board.write_creg(address, value)

    def read_mem(self, address, count):
        """JTAG_ReadMem ADDRESS COUNT: `count` 64-bit L2 words from `address`, as ints."""
        return self._board.read_mem(_int_argument(address, "address"), _int_argument(count, "count"))

    def write_mem(self, address, words):
        """JTAG_WriteMem ADDRESS LEN -f=FILE: the 64-bit words, one after another from `address`."""
        words = list(words)
        for w in words:
            if _int_argument(w, "word") >> 64:
                raise ArgumentError(f"JTAG_WriteMem: ERROR, Data {w:x} has more than 64 bits (16 hex digits); nothing written")
        self._board.write_mem(_int_argument(address, "address"), words)

    # -- scan dumps --

    def scan_dump(self, chain, length, pattern=None, recycle=False, accelerate=False):
        """JTAG_ScanDump CHAIN LENGTH FILE [-f=PATTERN] [-r] [-a]: the chain's bits, as a Dump.

        `pattern` (a Dump, its hex text, or an int) goes in instead of zeros;
        `recycle` sends the chain's own bits round; `accelerate` takes the
        bulk path for this call only.
        """
        _int_argument(chain, "chain")
        _int_argument(length, "length")
        text, bits = self._board.scan_dump(chain, length, _pattern_text(pattern, length), bool(recycle), bool(accelerate))
        return Dump(text, bits)

    def vnx_scan_dump(self, length, pattern=None, recycle=False, accelerate=False):
        """JTAG_VnxScanDump LENGTH FILE [-f=PATTERN] [-r] [-a]: the Vornex chain's bits, as a Dump."""
        _int_argument(length, "length")
        text, bits = self._board.vnx_scan_dump(length, _pattern_text(pattern, length), bool(recycle), bool(accelerate))
        return Dump(text, bits)


def open(platform=None, *, trace=None, wave=None, svf=None):  # noqa: A001 - the module's own open
    """Open a board.

    `platform` takes what JTAG_PLATFORM takes (``sim``, ``sim:DIR``,
    ``rbb:HOST:PORT``, ``xvc:HOST:PORT``, ``ftdi:...``); None means what the
    commands would use.  `trace`, `wave` and `svf` name the files of the
    board's recorders (as JTAG_TRACE, JTAG_WAVE and JTAG_SVF do for a
    command); None takes the environment's, "" none.  Returns a Board, a
    context manager that closes the recorders at its end.
    """
    return Board(platform, trace=trace, wave=wave, svf=svf)


class ScanMap:
    """A scan map (jtag-scan(5)): per chain its length and named latches.

    The latches of a Dump by name, as ``jtag-scan`` reads them: a latch's
    value is the dump shifted right by its offset and cut to its width.
    """

    def __init__(self, path):
        self._map = _EngineScanMap(_os.fspath(path))

    @property
    def chains(self):
        """The chains' names, in map order."""
        return self._map.chains()

    def _hex(self, chain, dump):
        text = dump.hex if isinstance(dump, Dump) else dump
        if not isinstance(text, str):
            raise ArgumentError(f"a dump is a jtagbox.Dump or its hex text, not {type(dump).__name__}")
        return text

    def decode(self, chain, dump, only=()):
        """{latch name: value} for every latch of `chain` (or those `only` names or globs)."""
        values = _json.loads(self._map.decode(chain, self._hex(chain, dump), list(only)))
        return {name: int(value, 16) for name, value in values.items()}

    def diff(self, chain, a, b):
        """The latches whose values differ, {name: (value in a, value in b)}, and
        the unmapped bits that differ: (latches, count, first bit or None)."""
        result = _json.loads(self._map.diff(chain, self._hex(chain, a), self._hex(chain, b)))
        latches = {name: (int(x, 16), int(y, 16)) for name, (x, y) in result["latches"].items()}
        return latches, result["unmapped_bits_differing"], result["first_unmapped_bit_differing"]

    def set(self, chain, dump, values):
        """`dump` with the latches of `values` ({name: int}) set: a Dump that
        scan_dump(pattern=...) shifts back in."""
        assignments = []
        for name, value in dict(values).items():
            assignments.append(f"{name}={_int_argument(value, name):#x}")
        return Dump(self._map.set(chain, self._hex(chain, dump), assignments), self._map.length(chain))
