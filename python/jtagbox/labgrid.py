"""labgrid support: a jtagbox board as a labgrid resource and driver.

A labgrid environment file names the board the way ``JTAG_PLATFORM`` does
and lets :class:`JtagboxDriver` open it::

    targets:
      main:
        resources:
          JtagboxPlatform:
            platform: rbb:127.0.0.1:3335
        drivers:
          JtagboxDriver: {}
    imports:
      - jtagbox.labgrid

Importing this module registers both classes with labgrid's target factory;
that is all the ``imports`` entry does.  The driver opens the board when the
target activates it and closes it (with its trace, wave and SVF recorders)
when the target deactivates it, so a strategy or a test decides how long
the board object lives.
"""

import attr
from labgrid.binding import StateError
from labgrid.driver.common import Driver
from labgrid.factory import target_factory
from labgrid.resource.common import Resource

import jtagbox

__all__ = ["JtagboxPlatform", "JtagboxDriver"]

_optional_str = attr.validators.optional(attr.validators.instance_of(str))


@target_factory.reg_resource
@attr.s(eq=False)
class JtagboxPlatform(Resource):
    """A board that jtagbox reaches, named as ``JTAG_PLATFORM`` names it.

    Args:
        platform (str): ``sim``, ``sim:DIR``, ``rbb:HOST:PORT``,
            ``xvc:HOST:PORT`` or any other value ``jtagbox.open`` takes.
            It is checked when the driver opens the board, by the same code
            that checks ``JTAG_PLATFORM`` for the commands, so the two never
            disagree about what is valid.

    The resource only describes the board.  An exporter can publish it as it
    stands (labgrid's exporter passes a class it has no export for through
    unchanged), as long as the platform names an address the clients reach,
    e.g. the ``rbb:`` port of a ``jtag-serve --listen`` on the exporting host.
    """

    platform = attr.ib(validator=attr.validators.instance_of(str))


@target_factory.reg_driver
@attr.s(eq=False)
class JtagboxDriver(Driver):
    """Holds the jtagbox board of a :class:`JtagboxPlatform` open while active.

    Args:
        trace (str): file that gets one line per hardware operation, as
            ``JTAG_TRACE`` does for the commands.
        wave (str): Value Change Dump of every TCK, as ``JTAG_WAVE``.
        svf (str): SVF recording of the session, as ``JTAG_SVF``.

    A record file left out follows its environment variable, as for the
    commands; ``""`` records nothing.  Relative paths are taken relative to
    the environment file, as labgrid does for the paths of its own drivers.

    Use :attr:`board` for the operations (``reset()``, ``read_creg()``,
    ``select_cpu()``, ...); they raise ``jtagbox.Error`` when the board fails.
    """

    bindings = {"platform": "JtagboxPlatform"}

    trace = attr.ib(default=None, validator=_optional_str)
    wave = attr.ib(default=None, validator=_optional_str)
    svf = attr.ib(default=None, validator=_optional_str)

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self._board = None
        config = self.target.env.config if self.target.env else None
        if config is not None:
            self.trace, self.wave, self.svf = (
                config.resolve_path(path) if path else path
                for path in (self.trace, self.wave, self.svf)
            )

    def on_activate(self):
        # A board that cannot be opened raises here; the target then leaves
        # the driver bound, not active, and nothing is held.
        self._board = jtagbox.open(
            self.platform.platform, trace=self.trace, wave=self.wave, svf=self.svf
        )

    def on_deactivate(self):
        # Forget the board before closing it: should close() fail, the driver
        # still holds no half-closed board.
        board, self._board = self._board, None
        board.close()

    @property
    @Driver.check_active
    def board(self):
        """The open ``jtagbox.Board``; labgrid's StateError while inactive."""
        if self._board is None:
            raise StateError(f"{self}: the board was closed by a failed deactivation")
        return self._board
