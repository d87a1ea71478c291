"""Interrupting signals as exceptions, so that every output is cleaned up.

Inside `handled()`, SIGINT raises KeyboardInterrupt as Python does by
default, and SIGTERM and SIGHUP raise `Terminated` (a KeyboardInterrupt
too), so that the `finally` blocks and context managers on the way out
remove temporaries and leave earlier outputs alone.  A signal that is
ignored when the command starts (`nohup`, a background job of a shell
without job control) stays ignored.

`deferred()` holds such a signal back while a few system calls that belong
together run (committing or removing an output): the exception is raised
when the block ends, so a second Ctrl-C cannot leave half of a cleanup
done.  Outside `handled()` (geokern_tools used as a library) it changes
nothing.
"""
from __future__ import annotations

import contextlib
import signal
import sys
from collections.abc import Iterator
from types import FrameType

#: The signals turned into exceptions, with the exit status of each.
EXIT_STATUS = {signal.SIGINT: 130, signal.SIGTERM: 143, signal.SIGHUP: 129}


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP arrived; `exit_status` is 128 + the signal number."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.exit_status = 128 + signum


def exit_status(exc: KeyboardInterrupt) -> int:
    """The status to exit with after `exc`: 130 for Ctrl-C."""
    return getattr(exc, "exit_status", EXIT_STATUS[signal.SIGINT])


_deferring = 0
_pending: int | None = None
_settled = False
#: A signal whose exception Python dropped, see _unraisable, and the hook
#: that reports everything else.
_lost: int | None = None
_chained = sys.unraisablehook


def _raise(signum: int) -> None:
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise Terminated(signum)


def _handler(signum: int, frame: FrameType | None) -> None:
    global _pending
    if _settled:
        return
    if _deferring:
        _pending = _pending or signum
        return
    _raise(signum)


@contextlib.contextmanager
def handled(restore: bool = True) -> Iterator[None]:
    """Installs the handlers for the block and restores the previous ones;
    with `restore` false they stay and ignore what arrives after the block
    (the process is about to exit with the block's status)."""
    global _pending, _settled, _chained, _lost
    previous: dict[int, object] = {}
    for signum in EXIT_STATUS:
        current = signal.getsignal(signum)
        wanted = signal.default_int_handler if signum == signal.SIGINT else signal.SIG_DFL
        if current is wanted:
            previous[signum] = current
            signal.signal(signum, _handler)
    _pending, _settled, _lost = None, False, None
    hook = _chained = sys.unraisablehook
    sys.unraisablehook = _unraisable
    try:
        yield
    finally:
        if restore:
            for signum, handler in previous.items():
                signal.signal(signum, handler)  # type: ignore[arg-type]
            sys.unraisablehook = hook
        else:
            _settled = True


def _unraisable(unraisable: sys.UnraisableHookArgs) -> None:
    """A handler that runs inside a weak-reference callback or a finalizer
    raises where Python cannot pass the exception on: it prints "Exception
    ignored" and goes on.  Such a signal is kept as lost instead, for
    `lost_status`; anything else is reported as Python would."""
    global _lost
    if isinstance(unraisable.exc_value, KeyboardInterrupt):
        if not _settled and _lost is None:
            _lost = getattr(unraisable.exc_value, "signum", signal.SIGINT)
        return
    _chained(unraisable)


def lost_status(status: int) -> int:
    """`status`, or the exit status of a signal whose exception was lost
    on the way (the run then went on to its end)."""
    return status if _lost is None else EXIT_STATUS[_lost]


@contextlib.contextmanager
def deferred() -> Iterator[None]:
    """Runs the block without interruption by the handled signals; one that
    arrived meanwhile is raised at the end."""
    global _deferring, _pending
    _deferring += 1
    try:
        yield
    finally:
        _deferring -= 1
        if not _deferring and _pending is not None:
            signum, _pending = _pending, None
            _raise(signum)
