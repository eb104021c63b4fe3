"""The native audit held to Python's own reading of a file.

For a file that Python's parser accepts, the native findings must be the
`ast` audit's (ast_audit), finding for finding: rule, line and module. For
a file the parser refuses, Python could not import it, so there is nothing
exact to compare; the native audit must then fail it (unaudited-file) or
report every import that Python's own tokenizer shows (`token_imports`), so
that a file can never pass with fewer imports than Python's tokens hold.
The line scan's findings that the full verdict drops, as text inside a
string or a comment, must be on no import statement of Python's parser.
A file in a codec the engine leaves to Python (deferred) must name the
codec Python would decode it with, and is then held to the same rules,
read as the command reads it (scanner_gate.codec_audit: Python's decoder,
the native audit), with the lines of the decoded text.
"""

import ast
import codecs
import dataclasses
import io
import keyword
import tokenize
import unicodedata
import warnings
from collections.abc import Iterator

import ast_audit
import ast_locals
import scanner_audit
from scanner_gate import codec_audit
from scanner_gate.findings import DYNAMIC_CODE, FORBIDDEN as FORBIDDEN_KIND, UNAUDITED, UNLISTED, scan_findings

# A policy that puts every path of the judgement to work: forbidden roots,
# an exact and a prefix rule, a local module.
FORBIDDEN = frozenset({"os", "sys", "subprocess", "socket", "importlib", "ctypes"})
ALLOWED_EXACT = frozenset({"json", "collections.abc", "typing"})
ALLOWED_PREFIXES = ("unittest", "email")
LOCAL = frozenset({"test", "mylocal"})

DYNAMIC_IMPORTERS = ("__import__", "import_module")
# The engine's unaudited-file message for what only Python's reading can judge.
DEFERRAL = "fichier non audit\u00e9 par le moteur"


@dataclasses.dataclass(frozen=True)
class Outcome:
    """How the native audit of one file compares with Python's reading."""

    # "same": the parser accepts it and the findings are the oracle's.
    # "refused_both": the parser refuses it and the native audit fails it.
    # "refused_by_python_only": the parser refuses it, the native audit
    #     reads it, and reports every import that Python's tokens show.
    # "deferred": a file whose text the engine cannot judge in any codec (a
    #     \N{...} escape in a dynamic import's name), which fails unaudited.
    # Failures: "mismatch", "fewer_imports", "wrong_codec", "crash",
    #     "dropped_import" (a line scan finding dropped on a real import).
    kind: str
    detail: str = ""
    tokenized: bool = True  # for refused_by_python_only: whether tokenize read it to its end
    dropped: int = 0  # the line scan's findings the full verdict dropped as text

    @property
    def failed(self) -> bool:
        return self.kind in FAILURES


# Python's words when nesting passes one of its tokenizer's limits.
NESTING_LIMITS = ("too many nested parentheses", "too many nested f-strings", "expressions nested too deeply")

FAILURES = ("mismatch", "fewer_imports", "wrong_codec", "crash", "dropped_import")


class Comparer:
    """Compares files natively and through the oracle; one per process."""

    def __init__(self) -> None:
        # The parser warns about odd escapes in the sources it is given.
        warnings.simplefilter("ignore", SyntaxWarning)
        # Keeping the local imports, as the gate's scanner does: the findings are the same.
        self.scanner = scanner_audit.Scanner(set(FORBIDDEN), set(ALLOWED_EXACT), list(ALLOWED_PREFIXES),
                                             local_imports=True)
        # No policy at all: every import the native side sees is reported.
        self.everything = scanner_audit.Scanner(set(), set(), [])

    def compare(self, path: str) -> Outcome:
        try:
            return self._compare(path)
        except Exception as error:  # noqa: BLE001 - a crash of either side is a failure to show
            return Outcome("crash", f"{type(error).__name__}: {error}")

    def _compare(self, path: str) -> Outcome:
        report = self.scanner.scan_file(path, set(LOCAL))
        dropped = self.dropped(path, report)
        if real := sorted(dropped & python_imports(path, dropped)):
            return Outcome("dropped_import", f"the line scan's {real[:5]} dropped, which Python imports")
        return dataclasses.replace(self._compare_audit(path, report), dropped=len(dropped))

    def dropped(self, path: str, report: scanner_audit.Report) -> set[tuple[int, str]]:
        """The (line, module) of the line scan's findings that the full
        verdict dropped: those of the line scan alone, less the report's."""
        def imports(findings):
            return {(f.line, f.module) for f in findings if f.kind in (FORBIDDEN_KIND, UNLISTED)}

        alone = self.scanner.scan_file(path, set(LOCAL), audit=False)
        return imports(scan_findings(alone)) - imports(scan_findings(report))

    def _compare_audit(self, path: str, report: scanner_audit.Report) -> Outcome:
        codec = report.deferred_encoding
        native = sorted((f.rule, f.line or 0, f.module or "") for f in report.findings)
        oracle_findings = ast_audit.audit(report.filepath, scan_findings(report), self.scanner, LOCAL, codec)
        python_refuses = any(f.kind is UNAUDITED for f in oracle_findings)
        with open(path, "rb") as stream:
            data = stream.read()
        if codec is not None:
            named = deferred(data, codec, python_refuses)
            if named.failed:
                return named
            decoded = codec_audit.audit(report.filepath, scan_findings(report), self.scanner, LOCAL, codec)
            if any(DEFERRAL in f.message for f in decoded):
                # What the engine cannot judge in any codec (a \N{...} escape
                # in a dynamic import's name): the file fails unaudited.
                return named
            native = sorted((f.kind.id, f.line or 0, f.module or "") for f in decoded)
        native_refuses = any(rule == "unaudited-file" for rule, _, _ in native)
        if not python_refuses:
            oracle = sorted((f.kind.id, f.line or 0, f.module or "") for f in oracle_findings)
            if native == oracle and codec is None:
                return self._compare_local(path, data, report)
            if native == oracle:
                return Outcome("same")
            # A constant text given to exec that Python's parser refuses
            # cannot run: what the native audit reads in it on that line
            # (imports, or a refusal of its own) is beyond the comparison.
            refused = {line for rule, line, module in oracle if rule == DYNAMIC_CODE.id and not module}
            if refused and [f for f in native if f[1] not in refused] == [f for f in oracle if f[1] not in refused]:
                return Outcome("code_refused_by_python")
            return Outcome("mismatch", f"native {difference(native, oracle)}, oracle {difference(oracle, native)}")
        if native_refuses:
            return Outcome("refused_both")
        # A nesting limit is the tokenizer's own: no reading of Python's may pass it.
        limit = next((f.message for f in oracle_findings if f.kind is UNAUDITED and any(
            words in f.message for words in NESTING_LIMITS)), None)
        if limit is not None:
            return Outcome("mismatch", f"Python refuses it ({limit}), the native audit reads it")
        if codec is not None:
            text = decoded_text(data, codec)
            if text is None:
                return Outcome("mismatch", "Python cannot decode it, the audit reads it")
            expected, complete = text_token_imports(text)
            # Under an empty policy, with nothing counted as reported.
            everything = codec_audit.audit(report.filepath, [], self.everything, set(), codec)
            seen = {(f.line, f.module) for f in everything if f.kind is not UNAUDITED}
        else:
            expected, complete = token_imports(data)
            seen = self.native_imports(path)
        missing = sorted(expected - seen)
        if missing:
            return Outcome("fewer_imports", f"Python's tokens show {missing[:5]}, the native audit does not",
                           complete)
        return Outcome("refused_by_python_only", tokenized=complete)

    def _compare_local(self, path: str, data: bytes, report: scanner_audit.Report) -> Outcome:
        """The local imports the engine keeps, held to the syntax tree's."""
        native = {(line, level, name, taken) for line, _, level, name, taken in report.local_imports}
        tree, _ = ast_audit.parse(path, data)
        assert tree is not None  # the parser accepted it
        oracle = ast_locals.local_rows(tree, LOCAL, 0, ast_audit.reach_table(self.scanner, LOCAL),
                                       ast_audit.scan_line_numbers(data))
        if native == oracle:
            return Outcome("same")
        return Outcome("mismatch", f"local imports: native {sorted(native - oracle)[:5]}, "
                       f"oracle {sorted(oracle - native)[:5]}")

    def native_imports(self, path: str) -> set[tuple[int, str]]:
        """Every (line, module) the native side reports under an empty
        policy: the line scan's imports and the audit's (for a dynamic
        import without a constant name, the function called)."""
        report = self.everything.scan_file(path, set())
        seen = {(f.line, f.module) for f in scan_findings(report) if f.kind is UNLISTED}
        seen |= {(f.line, f.module) for f in report.findings if f.rule != "unaudited-file"}
        return seen


def python_imports(path: str, wanted: set[tuple[int, str]]) -> set[tuple[int, str]]:
    """Of `wanted`, the (line, module) pairs on which Python imports that
    module or one below it: by its parser, or where it refuses the file, by
    its tokens. Lines counted at line feeds, as the scan counts them."""
    if not wanted:
        return set()
    data = ast_audit.read(path)
    try:
        tree = ast.parse(data)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        found, _ = token_imports(data)
    else:
        to_scan_line = ast_audit.scan_line_numbers(data)
        found = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                for alias in node.names:
                    found |= {(to_scan_line(line), alias.name) for line in (node.lineno, alias.lineno)}
            elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                found.add((to_scan_line(node.lineno), node.module))
    lines = {line for line, _ in wanted}
    return {(line, module) for line, module in wanted
            if any(at == line and (name == module or name.startswith(module + ".")) for at, name in found
                   if at in lines)}


def difference(ours: list[tuple[str, int, str]], theirs: list[tuple[str, int, str]]) -> str:
    rest = list(theirs)
    extra = []
    for item in ours:
        if item in rest:
            rest.remove(item)
        else:
            extra.append(item)
    return f"has {extra[:6]}" if extra else "has nothing more"


def decoded_text(data: bytes, codec: str) -> str | None:
    """The text Python reads in a file of another codec; None when it
    cannot decode it."""
    try:
        return data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").decode(codec)
    except (UnicodeError, LookupError):
        return None


def deferred(data: bytes, native_codec: str, python_refuses: bool) -> Outcome:
    """A file the engine leaves to Python's codecs must name the codec
    Python decodes it with (or one Python does not know, when it refuses)."""
    try:
        python_codec = tokenize.detect_encoding(io.BytesIO(data).readline)[0]
    except SyntaxError:
        python_codec = None
    try:
        native = codecs.lookup(native_codec).name
    except LookupError:
        native = None
    # A file Python refuses is refused again when the command hands it to
    # Python. tokenize reads a declaration only when its line is UTF-8, where
    # the interpreter reads the name's ASCII bytes: then there is nothing to
    # hold the name to.
    if python_refuses or python_codec is None or native == codecs.lookup(python_codec).name:
        return Outcome("deferred", native_codec)
    return Outcome("wrong_codec", f"native defers to {native_codec!r}, Python decodes with {python_codec!r}")


# --- the imports that Python's tokens show ---------------------------------

SKIPPED = {tokenize.COMMENT, tokenize.NL, tokenize.ENCODING, tokenize.INDENT, tokenize.DEDENT, tokenize.ENDMARKER}


def python_tokens(data: bytes | str) -> tuple[list[tokenize.TokenInfo], bool]:
    """The significant tokens Python's tokenizer gives for the file (or for
    the text decoded from it), and whether it read it to its end. When it
    stops at an error, the tokens of the logical line it stopped in are
    dropped: only whole logical lines before the error count."""
    tokens: list[tokenize.TokenInfo] = []
    if isinstance(data, str):
        readline = io.StringIO(data, newline="\n").readline
        generate = tokenize.generate_tokens
    else:
        # Python reads a source with its line breaks made line feeds;
        # tokenize given the bytes as they are splits lines at line feeds
        # only, and loses bytes after a lone carriage return.
        readline = io.BytesIO(data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")).readline
        generate = tokenize.tokenize
    try:
        for token in generate(readline):
            if token.type == tokenize.OP and "\r" in token.string:
                # A carriage return that a codec made, in code: tokenize
                # lets it through as an operator, the interpreter refuses it.
                raise tokenize.TokenError("carriage return in code")
            if token.type not in SKIPPED:
                tokens.append(token)
    except Exception:  # noqa: BLE001 - SyntaxError, TokenError, ...; SystemError from tokenize's own faults
        while tokens and tokens[-1].type != tokenize.NEWLINE:
            tokens.pop()
        return tokens, False
    return tokens, True


def is_name(token: tokenize.TokenInfo, text: str | None = None) -> bool:
    return token.type == tokenize.NAME and (text is None or token.string == text)


def is_identifier(token: tokenize.TokenInfo) -> bool:
    return token.type == tokenize.NAME and not keyword.iskeyword(token.string)


def is_op(token: tokenize.TokenInfo, *texts: str) -> bool:
    return token.type == tokenize.OP and token.string in texts


def normal(name: str) -> str:
    return unicodedata.normalize("NFKC", name)


def dotted(tokens: list[tokenize.TokenInfo], i: int) -> tuple[str | None, int]:
    """The dotted name that starts at tokens[i], and the index after it;
    None when it is not a whole dotted name."""
    if i >= len(tokens) or not is_identifier(tokens[i]):
        return None, i
    parts = [normal(tokens[i].string)]
    i += 1
    while i < len(tokens) and is_op(tokens[i], "."):
        if i + 1 >= len(tokens) or not is_identifier(tokens[i + 1]):
            return None, i + 1
        parts.append(normal(tokens[i + 1].string))
        i += 2
    return ".".join(parts), i


def statement_starts(tokens: list[tokenize.TokenInfo]) -> list[bool]:
    """For each token, whether a statement may begin with it: the first of
    a logical line, or after a `;`, or after a `:` outside brackets (a
    compound statement's header)."""
    starts = []
    depth = 0
    previous = None
    for token in tokens:
        starts.append(previous is None or previous.type == tokenize.NEWLINE or is_op(previous, ";")
                      or (depth == 0 and is_op(previous, ":")))
        if is_op(token, "(", "[", "{"):
            depth += 1
        elif is_op(token, ")", "]", "}"):
            depth = max(0, depth - 1)
        elif token.type == tokenize.NEWLINE:
            depth = 0
        previous = token
    return starts


def statement_imports(tokens: list[tokenize.TokenInfo]) -> Iterator[tuple[int, str]]:
    """(line, module) of each name of `import a.b as c, d` and of each
    absolute `from a.b import ...` that begins a statement."""
    starts = statement_starts(tokens)
    i = 0
    while i < len(tokens):
        token = tokens[i]
        if not starts[i]:
            i += 1
        elif is_name(token, "import"):
            i += 1
            while True:
                name, i = dotted(tokens, i)
                if name is None:
                    break
                yield token.start[0], name
                if i < len(tokens) and is_name(tokens[i], "as"):
                    if i + 1 >= len(tokens) or not is_identifier(tokens[i + 1]):
                        break
                    i += 2
                if i < len(tokens) and is_op(tokens[i], ","):
                    i += 1
                    continue
                break
        elif is_name(token, "from"):
            # `from .a import`, `from . import` are relative: not judged.
            start = i + 1
            while start < len(tokens) and is_op(tokens[start], ".", "..."):
                start += 1
            name, after = dotted(tokens, start)
            if name is None:
                after = start
            if after < len(tokens) and is_name(tokens[after], "import"):
                if name is not None and start == i + 1:
                    yield token.start[0], name
                i = after + 1  # the names imported are not modules
            else:
                i += 1
        else:
            i += 1


def string_value(tokens: list[tokenize.TokenInfo]) -> object:
    try:
        return ast.literal_eval(" ".join(token.string for token in tokens))
    except (SyntaxError, ValueError, MemoryError, RecursionError):
        return None


def dynamic_imports(tokens: list[tokenize.TokenInfo]) -> Iterator[tuple[int, str]]:
    """(line, module) of each call `f("name")` and (line, callee) of each
    call `f(name)` of a dynamic importer f, called as a name or as an
    attribute of a name, with one argument; calls on a logical line that
    begins with `case`, whose class patterns look like calls, are left out."""
    in_case = False
    for i, token in enumerate(tokens):
        previous = tokens[i - 1] if i > 0 else None
        if previous is None or previous.type == tokenize.NEWLINE:
            in_case = is_name(token, "case")
        if not (token.type == tokenize.NAME and normal(token.string) in DYNAMIC_IMPORTERS):
            continue
        if in_case or i + 1 >= len(tokens) or not is_op(tokens[i + 1], "("):
            continue
        function = normal(token.string)
        start = token
        if previous is not None and is_op(previous, "."):
            value = tokens[i - 2] if i >= 2 else None
            before = tokens[i - 3] if i >= 3 else None
            if value is None or not is_identifier(value) or (before is not None and is_op(before, ".")):
                continue
            if before is not None and not is_boundary(before):
                continue
            function, start = f"{normal(value.string)}.{function}", value
        elif previous is not None and not is_boundary(previous):
            continue
        # One argument: string literals, or a single name, or none.
        j = i + 2
        while j < len(tokens) and tokens[j].type == tokenize.STRING:
            j += 1
        if j == i + 2:
            if j < len(tokens) and is_op(tokens[j], ")"):
                yield start.start[0], function
            elif j + 1 < len(tokens) and is_identifier(tokens[j]) and is_op(tokens[j + 1], ")"):
                yield start.start[0], function
            continue
        if j == len(tokens) or not is_op(tokens[j], ")"):
            continue
        value = string_value(tokens[i + 2 : j])
        if isinstance(value, str):
            if value and not value.startswith("."):
                yield start.start[0], value
        elif value is not None:  # bytes: a name that is no str
            yield start.start[0], function


def is_boundary(token: tokenize.TokenInfo) -> bool:
    """Whether an expression may begin right after the token."""
    if token.type == tokenize.OP:
        return token.string not in (")", "]", "}", ".")
    if token.type == tokenize.NAME:
        # After `import`, `from` or `as` a name is a module or an alias.
        excluded = ("def", "class", "None", "True", "False", "import", "from", "as")
        return keyword.iskeyword(token.string) and token.string not in excluded
    return token.type in (tokenize.NEWLINE, tokenize.FSTRING_MIDDLE)


def token_imports(data: bytes) -> tuple[set[tuple[int, str]], bool]:
    """The imports that Python's tokens show, at the scan's line numbers,
    and whether the tokenizer read the whole file."""
    tokens, complete = python_tokens(data)
    to_scan_line = ast_audit.scan_line_numbers(data)
    found = set(statement_imports(tokens)) | set(dynamic_imports(tokens))
    return {(to_scan_line(line), module) for line, module in found}, complete


def text_token_imports(text: str) -> tuple[set[tuple[int, str]], bool]:
    """As token_imports, for the decoded text of a file in another codec,
    with its own lines."""
    tokens, complete = python_tokens(text)
    return set(statement_imports(tokens)) | set(dynamic_imports(tokens)), complete
