"""Errors the command line reports as one line instead of a traceback."""
from __future__ import annotations

import signal


class UserError(Exception):
    """A problem the user can fix: a bad argument, a missing, unreadable or
    mismatching file, a model or calibration set the quantizer cannot take.

    Built from what is wrong, why, and what to do about it; the text is the
    single line ``<what>: <why>; <what to do>``.  Given one argument, it is
    that line, already written in this form.
    """

    def __init__(self, what: str, why: str | None = None, fix: str | None = None):
        if why is None:         # a message already written as one line
            self.what, self.why, self.fix = one_line(what), "", ""
            super().__init__(self.what)
            return
        self.what, self.why, self.fix = one_line(what), one_line(why), one_line(fix)
        super().__init__(f"{self.what}: {self.why}; {self.fix}")


class Interrupted(KeyboardInterrupt):
    """The run was stopped by a signal (SIGINT, SIGTERM, SIGHUP).

    A ``KeyboardInterrupt``, so that every ``except Exception`` lets it pass
    and staged outputs are cleaned up on the way out.
    """

    def __init__(self, signum: int = signal.SIGINT):
        super().__init__(signum)
        self.signum = int(signum)

    @property
    def exit_status(self) -> int:
        return 128 + self.signum


def one_line(text) -> str:
    """``text`` with its line breaks and runs of blanks collapsed to single blanks."""
    return " ".join(str(text).split())


def first_line(exc: BaseException, limit: int = 300) -> str:
    """The first line of an exception's message, shortened to ``limit`` characters."""
    lines = [ln.strip() for ln in str(exc).splitlines() if ln.strip()]
    text = lines[0] if lines else type(exc).__name__
    return text if len(text) <= limit else text[:limit - 3] + "..."
