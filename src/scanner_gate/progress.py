"""The progress line on a terminal's standard error, for a run that takes
more than a second: what is being done and for how long, redrawn in place,
and erased when the run ends, so that nothing of it stays in the terminal.

The scan releases the interpreter lock, so a thread of its own redraws the
line while the engine works; it reads counts that the main thread writes
and writes nothing but the line. A run shorter than a second never shows
it, and it is never written where standard error is not a terminal.
"""

import threading
import time

from scanner_gate.escape import escape

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import TextIO

    from scanner_gate.findings import Tally

DELAY = 1.0  # seconds before the line first shows
PERIOD = 0.25  # seconds between redraws
_ERASE = "\r\x1b[K"


class Progress:
    def __init__(self, stream: "TextIO", paths: "Sequence[str]") -> None:
        self._stream = stream
        named = escape(paths[0]) if len(paths) == 1 else f"{len(paths)} paths"
        self._doing = f"scanning {named}"
        self._tally: "Tally | None" = None
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, name="scanner-core progress", daemon=True)
        self._started = 0.0

    def start(self) -> None:
        self._started = time.monotonic()
        self._thread.start()

    def writing(self, tally: "Tally", stop: bool) -> None:
        """The scan is done and the report is being written: counts the
        files judged from `tally`, or stops the line when `stop`."""
        if stop:
            self.stop()
        else:
            self._tally = tally
            self._doing = "writing the report"

    def stop(self) -> None:
        """Ends the line and erases it; idempotent."""
        if self._done.is_set():
            return
        self._done.set()
        if self._thread.is_alive():
            self._thread.join()

    def _run(self) -> None:
        try:
            if self._done.wait(DELAY):
                return
            while not self._done.is_set():
                elapsed = time.monotonic() - self._started
                tally = self._tally
                counted = f", {tally.scanned:,} files judged" if tally is not None else ""
                self._stream.write(f"{_ERASE}scanner-core: {self._doing}{counted} ({elapsed:.0f} s)")
                self._stream.flush()
                self._done.wait(PERIOD)
            self._stream.write(_ERASE)
            self._stream.flush()
        except (OSError, ValueError):
            pass  # a terminal gone: the run's report matters, not its progress
