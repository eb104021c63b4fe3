"""Where a report goes: its stream, written as bytes where it can be.

The engine hands each file's part of the text and JSON reports over as
UTF-8 bytes, which go straight to the stream's buffer when its text is
UTF-8 (stdout, mostly); any other stream gets them decoded. The report's
own texts go the same way, so that nothing is written out of order."""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import BinaryIO, TextIO


class Sink:
    """A report's stream, for text and for the engine's UTF-8 bytes."""

    __slots__ = ("_text", "_bytes")

    def __init__(self, out: "TextIO") -> None:
        self._text = out
        self._bytes: "BinaryIO | None" = None
        encoding = (getattr(out, "encoding", None) or "").lower().replace("_", "-")
        buffer = getattr(out, "buffer", None)
        if buffer is not None and encoding in ("utf-8", "utf8"):
            out.flush()
            self._bytes = buffer

    def text(self, text: str) -> None:
        if self._bytes is None:
            self._text.write(text)
        else:
            self._bytes.write(text.encode("utf-8", "backslashreplace"))

    def utf8(self, data: bytes | memoryview) -> None:
        """Writes UTF-8 text whole (a piece the engine hands over, valid only
        during the call, is written before it returns)."""
        if self._bytes is None:
            self._text.write(str(data, "utf-8"))
        else:
            self._bytes.write(data)

    def flush(self) -> None:
        (self._text if self._bytes is None else self._bytes).flush()
