"""The audit of a file in a codec that only Python decodes (cp1252,
shift_jis, utf-7, unicode_escape, ...), by the same native audit as any
other file.

Python reads such a file by making every line break of its bytes a line
feed (and adding one at the end when it lacks one), then decoding the whole
with the codec. This does the same with the codec's incremental decoder, a
piece at a time, and feeds the text to scanner_audit.TextAudit, which reads
it and judges its imports as the native audit judges a file's: no size
limit, and memory bounded by the piece, not the file. A file Python would
refuse to decode (bytes its codec rejects, a codec it does not know or does
not take for source, a byte-order mark with another codec) fails with
Python's reason, as the interpreter words it.

Lines are those of the decoded text, the ones Python reports: a codec may
make line breaks ("+AAo-" in UTF-7) or join lines (a backslash before a line
feed under unicode_escape). The line scan counts the line feeds of the
file's bytes; an import it reported counts as reported on the decoded line
where the line of bytes it names begins.
"""

import codecs
import os
import re
import stat
import sys
from collections.abc import Iterable, Iterator, Set

import scanner_audit

from scanner_gate.findings import FORBIDDEN, KIND_OF_RULE, UNAUDITED, UNLISTED, Finding

# Bytes read at a time. The text decoded from a piece takes at most four
# times its size, once as str and once as UTF-8.
PIECE_BYTES = 256 * 1024

BYTE_ORDER_MARK = b"\xef\xbb\xbf"

# Bytes a decoder may hold back undecoded. Some start again from the
# beginning of what they hold at every piece (UTF-7 inside one base64 run,
# idna until the next dot), which would make the cost grow with the square
# of such a stretch: a file with a longer one fails unread instead.
MAX_HELD_BACK = 4 * 1024 * 1024

SURROGATES = re.compile("[\ud800-\udfff]*")


class Refused(Exception):
    """Python would not decode the file; the message is its reason."""


def open_source(path: str) -> Iterator[bytes]:
    """The file's bytes, a piece at a time. Opened without blocking, so that
    a file swapped for a FIFO since the scan cannot hang the audit, and
    refused (OSError) unless it is a regular file."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(descriptor, "rb", buffering=0) as stream:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise OSError(0, "not a regular file")
        while piece := stream.read(PIECE_BYTES):
            yield piece


def text_decoder(encoding: str) -> codecs.IncrementalDecoder:
    """The codec's incremental decoder, strict; Refused when Python would
    not decode a source with it, OSError when it has no incremental decoder."""
    try:
        info = codecs.lookup(encoding)
    except LookupError as error:
        raise Refused(str(error)) from error
    if not getattr(info, "_is_text_encoding", True):  # rot13, hex, zlib, ...
        raise Refused(f"'{encoding}' is not a text encoding; use codecs.decode() to handle arbitrary codecs")
    if info.name in ("utf-16", "utf-32"):
        # A source cannot begin with their byte-order mark (its first line
        # is the declaration's comment), and without one Python decodes the
        # whole text in the machine's byte order, which their incremental
        # decoders refuse to guess.
        info = codecs.lookup(f"{info.name}-{'le' if sys.byteorder == 'little' else 'be'}")
    if info.incrementaldecoder is None:
        raise OSError(0, f"le codec {encoding} n'a pas de d\u00e9codeur incr\u00e9mental")
    return info.incrementaldecoder("strict")


def decode_error_text(error: UnicodeDecodeError, offset: int) -> str:
    """The codec's error as Python words it for the whole text, whose
    position `offset` is the start of what the decoder was given."""
    start, end = error.start + offset, error.end + offset
    if error.end == error.start + 1:
        byte = error.object[error.start]
        return f"'{error.encoding}' codec can't decode byte 0x{byte:02x} in position {start}: {error.reason}"
    return f"'{error.encoding}' codec can't decode bytes in position {start}-{end - 1}: {error.reason}"


def surrogates_text(start: int, end: int, first: str) -> str:
    """UTF-8's refusal of the lone surrogates from `start` to `end` of the
    whole text (the first is `first`), as Python words it."""
    if end == start + 1:
        return f"'utf-8' codec can't encode character '\\u{ord(first):04x}' in position {start}: surrogates not allowed"
    return f"'utf-8' codec can't encode characters in position {start}-{end - 1}: surrogates not allowed"


class Reader:
    """Decodes the file's bytes as Python does, counting the decoded lines,
    and feeds the text to the audit a piece at a time."""

    def __init__(self, decoder: codecs.IncrementalDecoder, audit: scanner_audit.TextAudit) -> None:
        self.decoder = decoder
        self.audit = audit
        self.after_return = False  # the bytes so far end in a carriage return
        self.last = b""  # the last byte given to the decoder
        self.decoded_bytes = 0  # bytes given to the decoder, line breaks made line feeds
        self.characters = 0  # characters it gave back
        self.lines = 1  # the decoded line that the text so far ends on
        # Python decodes the whole text before it reads any: the lone
        # surrogates that UTF-8 cannot hold (their first, where their run
        # starts and ends, whether it may go on) give way to a codec error
        # further on.
        self.surrogates: tuple[str, int, int, bool] | None = None
        self.texts: list[str] = []  # decoded, not yet fed

    def read(self, data: bytes, final: bool = False) -> None:
        """Decodes the next bytes; Refused at the codec's first error."""
        if self.after_return and data.startswith(b"\n"):
            data = data[1:]  # the line feed of a CR LF cut between pieces
        if data:
            self.after_return = data.endswith(b"\r")
            data = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
            self.last = data[-1:]
        offset = self.decoded_bytes - len(self.decoder.getstate()[0])
        self.decoded_bytes += len(data)
        try:
            text = self.decoder.decode(data, final)
        except UnicodeDecodeError as error:
            raise Refused(decode_error_text(error, offset)) from error
        except Exception as error:  # noqa: BLE001 - a codec may raise anything; Python would refuse the file
            raise Refused(str(error) or type(error).__name__) from error
        if len(self.decoder.getstate()[0]) > MAX_HELD_BACK:
            raise OSError(0, f"son codec retient plus de {MAX_HELD_BACK} octets sans les d\u00e9coder")
        self.lines += text.count("\n")
        self.texts.append(text)

    def flush(self) -> None:
        """Feeds the text decoded so far to the audit."""
        text = "".join(self.texts)
        self.texts.clear()
        if self.surrogates is None:
            try:
                self.audit.feed(text.encode("utf-8"))
            except UnicodeEncodeError as error:
                start, end = self.characters + error.start, self.characters + error.end
                self.surrogates = (text[error.start], start, end, error.end == len(text))
        elif self.surrogates[3] and text:  # a run cut between two pieces of text
            first, start, end, _ = self.surrogates
            run = SURROGATES.match(text)
            more = run.end() if run else 0
            self.surrogates = (first, start, end + more, more == len(text))
        self.characters += len(text)

    def end(self) -> None:
        """The file has ended: Python adds a last line feed when it lacks one."""
        if self.decoded_bytes > 0 and self.last != b"\n":
            self.read(b"\n")
        self.read(b"", final=True)
        self.flush()
        if self.surrogates is not None:
            first, start, end, _ = self.surrogates
            raise Refused(surrogates_text(start, end, first))


def reported_lines(scanned: Iterable[Finding]) -> tuple[list[int], list[tuple[int, str]]]:
    """The lines of bytes on which the line scan reported imports, sorted,
    and the (line, module) pairs it reported, sorted."""
    pairs = sorted({
        (f.line, f.module) for f in scanned
        if (f.kind is FORBIDDEN or f.kind is UNLISTED) and f.line and f.module is not None
    })
    return sorted({line for line, _ in pairs}), pairs


def after_line_feeds(data: bytes, start: int, count: int) -> int:
    """Where the `count`-th line feed from `start` ends (`start` itself when
    `count` is 0); -1 when `data` holds fewer. Counted a span at a time, so
    that the cost goes with the spans, not with the lines in them."""
    if count <= 0:
        return start
    low, span = start, 64
    while True:  # spans that double until one holds the line feed
        high = min(low + span, len(data))
        found = data.count(b"\n", low, high)
        if found >= count:
            break
        if high == len(data):
            return -1
        count, low, span = count - found, high, span * 2
    while high - low > 64:  # then halved back around it
        middle = (low + high) // 2
        found = data.count(b"\n", low, middle)
        if found >= count:
            high = middle
        else:
            count, low = count - found, middle
    for _ in range(count):
        low = data.index(b"\n", low) + 1
    return low


def read_file(pieces: Iterable[bytes], encoding: str, reader: Reader, lines_of_bytes: list[int]) -> list[int]:
    """Reads the whole file, given as its pieces, through `reader`, and
    returns the decoded line on which each of `lines_of_bytes` (sorted,
    counted at line feeds) begins."""
    decoded_lines: list[int] = []
    wanted = iter(lines_of_bytes)
    target = next(wanted, None)
    line = 1  # the line of bytes that the bytes read so far end on
    first = True
    for piece in pieces:
        if b"\0" in piece:
            raise Refused("source code string cannot contain null bytes")
        if first:
            first = False
            if piece.startswith(BYTE_ORDER_MARK):  # the scan saw none, but the file may have changed since
                if encoding not in ("utf-8", "utf-8-sig"):
                    raise Refused(f"encoding problem: {encoding} with BOM")
                piece = piece[len(BYTE_ORDER_MARK) :]
        start = 0
        while target is not None:
            # Up to the line feed that ends the line before the target.
            position = after_line_feeds(piece, start, target - line)
            if position < 0:  # in a later piece
                break
            reader.read(piece[start:position])
            decoded_lines.append(reader.lines)
            start, line = position, target
            target = next(wanted, None)
        line += piece.count(b"\n", start)
        reader.read(piece[start:])
        reader.flush()
    reader.end()
    return decoded_lines


def audit(
    filepath: str,
    scanned: Iterable[Finding],
    scanner: scanner_audit.Scanner,
    local_modules: Set[str],
    encoding: str | None = None,
    depth: int = 0,
    pieces: Iterable[bytes] | None = None,
    local_imports: list[tuple[int, int | None, int, str, bool]] | None = None,
) -> list[Finding]:
    """The audit's findings for one file in `encoding` (the codec the scan
    says Python decodes it with), given the line scan's findings; `depth`:
    the directories between the tree's root and the file's directory.
    `pieces`: the file's bytes (an archive's member), when it is not to be
    read from `filepath`. `local_imports`: extended with the text's
    (scanner_audit.Report.local_imports) once it is read to its end."""
    encoding = encoding or "utf-8"
    # The byte-order mark is dropped as the file is read; a second one is a
    # character, as Python reads it, which utf-8-sig's decoder would drop.
    decoding = "utf-8" if encoding == "utf-8-sig" else encoding
    lines_of_bytes, pairs = reported_lines(scanned)
    text_audit = scanner_audit.TextAudit(scanner, filepath, set(local_modules), depth)
    try:
        reader = Reader(text_decoder(decoding), text_audit)
        source = open_source(filepath) if pieces is None else pieces
        decoded_lines = read_file(source, encoding, reader, lines_of_bytes)
    except Refused as refusal:
        text_audit.refuse(str(refusal))
        return [native_finding(finding) for finding in text_audit.finish([])]
    except (OSError, ValueError) as error:
        reason = getattr(error, "strerror", None) or str(error)
        return [Finding(UNAUDITED, None, None, f"{filepath}: fichier illisible pour l'audit ({reason})")]
    # A line past the end (the file shrank since the scan) has no decoded line.
    decoded_line = dict(zip(lines_of_bytes, decoded_lines))
    reported = [(decoded_line[line], module) for line, module in pairs if line in decoded_line]
    made = [native_finding(finding) for finding in text_audit.finish(reported)]
    if local_imports is not None:
        local_imports += text_audit.local_imports
    return made


def native_finding(finding: scanner_audit.Finding) -> Finding:
    return Finding(KIND_OF_RULE[finding.rule], finding.line, finding.module, finding.message, None, finding.column)
