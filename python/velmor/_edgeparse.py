"""Byte-level parsing of edge-list text with NumPy.

The text is cut into blocks of about a megabyte, each ending on a line break, and every block is
handled by whole-array operations: there is no Python loop per line or per edge. Blocks stay small
because NumPy temporaries that fit in cache are several times faster than ones the size of the
file.

Rules, per line:

- From the comment character to the end of the line is ignored; lines left blank are skipped.
- Without a delimiter, columns are separated by runs of whitespace and commas. With a delimiter,
  columns are separated by exactly that character and the whitespace around a column is trimmed,
  so names may contain inner spaces.
- Every other line holds exactly two columns, source and target; or, for a weighted edge list,
  three: source, target and weight. Weights are decimal numbers (``2``, ``0.5``, ``1E+06``),
  finite and greater than 0. When weights are ignored, every line holds two columns, or every
  line three, the first line deciding; a third column is then skipped unread.

Whether the nodes are integer ids or string names is decided by the first two edge lines: a first
line of numbers makes an integer file, in which every later token must be an id; a first line
with a word above a line of numbers is a header, skipped; anything else is a file of names. With
weights, a first line of words only above a line with a numeric weight is a header as well, so
that ``source target weight`` is skipped above named nodes too. Only these two lines are looked
at, so the integer path costs nothing extra. The weight column does not take part in deciding
between ids and names.

Failures raise :class:`ParseError` with the 1-based line number; the caller adds the file name.

A file of names is first handed to the engine's reader (``read_named_edges``), which follows the
same rules in one pass over the text and numbers names with a hash table, several times faster
than grouping them here. It reads only text without faults and declines the rest, which is then
read here, so that every fault is reported as below.
"""

from __future__ import annotations

import re
import warnings
from collections.abc import Iterator
from typing import NamedTuple

import numpy as np

from velmor.engine._engine import read_named_edges

BLOCK_BYTES = 1 << 20
FIRST_BLOCK_BYTES = 1 << 16
LARGEST_ID = 4294967294  # the largest uint32 that can still be a node id (the count is id + 1)
LONGEST_NAME = 255  # names become fixed-width byte strings, so their length bounds memory use
_INT_DIGITS = 18  # any 18-digit number fits in int64

_NEWLINE = 10
_BOM = b"\xef\xbb\xbf"
# What a data line holds when it is not a header: numbers, even ones that are not valid ids.
_NUMBER = re.compile(rb"[-+]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?")
# Words that NumPy reads as numbers, and that make weights out of range rather than malformed.
_NOT_FINITE = re.compile(rb"[-+]?(?:nan|inf|infinity)", re.IGNORECASE)
_WEIGHT_RANGE = "edge weights must be finite and greater than 0"
_BINARY = ("found a NUL byte: this looks like binary data, not edge-list text "
           "(compressed, or saved as UTF-16?)")


class ParseError(ValueError):
    """A malformed edge list; ``line`` is 1-based, or None when the fault is not on one line."""

    def __init__(self, line: int | None, reason: str):
        super().__init__(reason)
        self.line = line
        self.reason = reason


class Header(NamedTuple):
    """A skipped header line: its 1-based number and its text."""

    line: int
    text: str


class ParsedEdges(NamedTuple):
    """What parse_edges found."""

    edges: np.ndarray  # (E, 2) uint32 node indices
    names: np.ndarray | None  # the name of each node index, or None
    header: Header | None  # the header line that was skipped, or None
    weights: np.ndarray | None  # (E,) float64, row by row with edges; None when unweighted


def parse_edges(
    data: bytes, *, delimiter: bytes | None, comments: bytes | None, relabel: bool,
    names: bool | None = None, weighted: bool = False, ignore_weights: bool = False,
) -> ParsedEdges:
    """Parse edge-list text into node indices, node names, the skipped header and the weights.

    ``names`` True reads every node token as a string name, and takes no line for a header;
    False requires integer ids; None decides from the first two edge lines (see the module
    docstring). String names are numbered in order of first appearance and returned as an
    object array of str. Integer ids are used as they stand with ``relabel`` False (names is then
    None); with ``relabel`` True they are numbered in ascending order (names is an int64 array,
    or None if the ids are exactly 0..n-1). ``weighted`` reads three columns per line, the third
    being the edge's weight. ``ignore_weights`` (without ``weighted``) reads a file whose first
    edge line has three columns as three columns per line, and returns no weights.
    """
    width = 3 if weighted or (ignore_weights and
                              _first_line_columns(data, delimiter, comments) == 3) else 2
    scanner = _Scanner(data, delimiter, comments, weighted, width)
    header = None
    start = len(_BOM) if data.startswith(_BOM) else 0
    if not names:
        lines = scanner.first_edge_lines(2)
        if _is_header(lines, width == 3):
            header = Header(lines[0].number, lines[0].text)
            start = lines[0].next_offset
            scanner.skip_first_edge_line(lines[0])
            lines.pop(0)
        if names is None:
            names = not lines or not lines[0].numeric()
    if names:
        found = _read_names_natively(data, start, delimiter, comments, width == 3)
        if found is not None:
            return found._replace(header=header, weights=found.weights if weighted else None)
        keys, weights = scanner.names()
        try:
            ids, found = _factorize(keys)
        except UnicodeDecodeError:
            raise _Scanner(data, delimiter, comments, weighted, width).encoding_fault() from None
        return ParsedEdges(ids.reshape(-1, 2), found, header, weights)
    values, weights = scanner.integers(relabel=relabel)
    if not relabel:
        return ParsedEdges(values.astype(np.uint32).reshape(-1, 2), None, header, weights)
    ids, found = _relabel_sorted(values)
    return ParsedEdges(ids.reshape(-1, 2), found, header, weights)


def _read_names_natively(data: bytes, start: int, delimiter: bytes | None,
                         comments: bytes | None, weighted: bool) -> ParsedEdges | None:
    """A file of names from ``start`` on, read by the engine; None if the engine declines it."""
    if not isinstance(data, bytes):
        return None
    lines = data.count(b"\n", start) + 1
    ids = np.empty(2 * lines, dtype=np.uint32)
    weights = np.empty(lines, dtype=np.float64) if weighted else None
    found = read_named_edges(data, start, None if delimiter is None else delimiter[0],
                             None if comments is None else comments[0], ids, weights)
    if found is None:
        return None
    count, names = found
    node_names = np.empty(len(names), dtype=object)
    node_names[:] = names
    return ParsedEdges(ids[:2 * count].reshape(-1, 2), node_names, None,
                       None if weights is None else weights[:count])


def _first_line_columns(data: bytes, delimiter: bytes | None, comments: bytes | None) -> int:
    """The columns of the first edge line among the first block's lines; 0 if there is none."""
    for line in data[:FIRST_BLOCK_BYTES].removeprefix(_BOM).split(b"\n"):
        if comments is not None:
            line = line.split(comments, 1)[0]
        if line.strip():
            return len(line.split(delimiter)) if delimiter is not None else \
                len(re.findall(rb"[^\s,]+", line))
    return 0


class _EdgeLine(NamedTuple):
    number: int  # 1-based
    text: str  # comment and surrounding whitespace removed
    tokens: tuple[bytes, ...]  # the columns: source, target and, if weighted, weight
    next_offset: int  # where the following line begins

    def numeric(self) -> bool:
        """Whether both nodes look like numbers."""
        return all(_NUMBER.fullmatch(token) for token in self.tokens[:2])


def _is_header(lines: list[_EdgeLine], weighted: bool) -> bool:
    """Whether the first of the first two edge lines is a header."""
    # A line with a NUL byte is binary data, never a header.
    if len(lines) < 2 or "\0" in lines[0].text:
        return False
    first, second = lines
    if not first.numeric() and second.numeric():
        return True
    return weighted and not any(_NUMBER.fullmatch(token) for token in first.tokens) and \
        _NUMBER.fullmatch(second.tokens[2]) is not None


class _Scanner:
    """One pass over the blocks of the text; the first blocks may be read ahead to decide how to
    read the rest."""

    def __init__(self, data: bytes, delimiter: bytes | None, comments: bytes | None,
                 weighted: bool, width: int):
        self.data = data
        self.buffer = np.frombuffer(data, dtype=np.uint8)
        self.delimiter = None if delimiter is None else delimiter[0]
        self.comments = comments
        self.weighted = weighted  # whether the weights are read; else a third column is skipped
        self.width = width
        self._ahead: list[_Block] = []
        self._rest = self._read_blocks(len(_BOM) if data.startswith(_BOM) else 0)

    def first_edge_lines(self, count: int) -> list[_EdgeLine]:
        """Up to ``count`` edge lines from the top; fewer if the file, or its well-formed lines,
        end sooner."""
        lines: list[_EdgeLine] = []
        for block in self._rest:
            self._ahead.append(block)
            lines += block.edge_lines(count - len(lines))
            if len(lines) == count or block.fault:
                break
        return lines

    def skip_first_edge_line(self, line: _EdgeLine) -> None:
        """Leave out a header line, the first edge line of the first block read ahead."""
        block = self._ahead.pop(0)
        end = block.offset + len(block.bytes)
        if line.next_offset < end:
            rest = self._block(line.next_offset, end, line.number)
            if len(rest.starts):
                self._ahead.insert(0, rest)

    def integers(self, *, relabel: bool) -> tuple[np.ndarray, np.ndarray | None]:
        """All ids, two per edge, as uint64; and the weights, one per edge, or None."""
        chunks, weights = [], []
        for block in self._blocks():
            faults = [block.fault] if block.fault else []
            bad = block.first_non_integer()
            if bad >= 0:
                faults.append(self._id_fault(block, bad, relabel))
            else:
                values = block.integers()
                if not relabel and values.max() > LARGEST_ID:
                    at = int(np.flatnonzero(block.is_node)[np.argmax(values > LARGEST_ID)]) \
                        if self.width == 3 else int(np.argmax(values > LARGEST_ID))
                    faults.append(self._id_fault(block, at, relabel))
            if self.weighted:
                weights.append(self._weights(block, faults))
            if faults:
                raise self._first_fault(block, faults)
            chunks.append(values)
        return self._finish(chunks), self._finish(weights) if self.weighted else None

    def names(self) -> tuple[np.ndarray, np.ndarray | None]:
        """All names, two per edge, as fixed-width byte strings; and the weights, or None."""
        chunks, weights = [], []
        for block in self._blocks():
            starts, ends = block.starts, block.ends
            if self.width == 3:
                starts, ends = starts[block.is_node], ends[block.is_node]
            lengths = ends - starts
            faults = [block.fault] if block.fault else []
            if lengths.max() > LONGEST_NAME:
                at = int(np.argmax(lengths > LONGEST_NAME))
                faults.append(ParseError(self._line_of(block.offset + starts[at]),
                                         f"node name longer than {LONGEST_NAME} bytes"))
            if self.data.find(b"\0", block.offset, block.offset + len(block.bytes)) >= 0:
                # A NUL would vanish from the end of a fixed-width name, merging two names.
                faults += filter(None, [_nul_fault(block)])
            if self.weighted:
                weights.append(self._weights(block, faults))
            if faults:
                raise self._first_fault(block, faults)
            chunks.append(_gather_bytes(block.bytes, starts, lengths))
        return self._finish(chunks), self._finish(weights) if self.weighted else None

    def _weights(self, block: _Block, faults: list[ParseError]) -> np.ndarray:
        """The weights of a block as float64; the first bad one is added to ``faults``."""
        tokens = np.flatnonzero(~block.is_node)
        starts, ends = block.starts[tokens], block.ends[tokens]
        values, plain = _plain_decimals(block.bytes, starts, ends - starts)
        unreadable = np.zeros(len(tokens), dtype=bool)
        if not plain.all():
            # Exponents, signs and long numbers are left to NumPy's reader.
            rest = np.flatnonzero(~plain)
            inside = _inside(len(block.bytes), starts[rest], ends[rest])
            read = _read_floats(np.where(inside, block.bytes, np.uint8(32)).tobytes())
            if read is None or len(read) != len(rest):
                # A token that is not a number, or that NumPy reads as two ("1-2").
                texts = [block.bytes[s:e].tobytes() for s, e in zip(starts[rest], ends[rest])]
                unreadable[rest] = [not (_NUMBER.fullmatch(text) or _NOT_FINITE.fullmatch(text))
                                    for text in texts]
                if not unreadable.any():
                    raise RuntimeError("edge-list parser: weight count mismatch")
                read = [1.0 if bad else float(text) for text, bad in zip(texts, unreadable[rest])]
            values[rest] = read
        bad = unreadable | ~((values > 0) & (values < np.inf))
        if bad.any():
            at = int(np.argmax(bad))
            begin, _, shown = self._token(block, int(tokens[at]))
            reason = (f"edge weight {shown!r} is not a number" if unreadable[at] else
                      f"invalid edge weight {shown}: {_WEIGHT_RANGE}")
            faults.append(ParseError(self._line_of(begin), reason))
        return values

    def encoding_fault(self) -> ParseError:
        """The first name that is not UTF-8, once decoding the names has failed."""
        for block in self._blocks():
            try:
                block.bytes.tobytes().decode("utf-8")
            except UnicodeDecodeError as error:
                byte = error.object[error.start]
                return ParseError(self._line_of(block.offset + error.start),
                                  f"node name is not UTF-8 text (byte 0x{byte:02x}); "
                                  "save the file as UTF-8")
        raise AssertionError("no name failed to decode")

    @staticmethod
    def _finish(chunks: list[np.ndarray]) -> np.ndarray:
        if not chunks:
            raise ParseError(None, "no edges found (the file is empty or holds only comments)")
        return np.concatenate(chunks) if len(chunks) > 1 else chunks[0]

    def _blocks(self) -> Iterator[_Block]:
        while self._ahead:
            yield self._ahead.pop(0)
        yield from self._rest

    def _read_blocks(self, start: int) -> Iterator[_Block]:
        """The blocks that hold at least one edge, each checked for two columns per line."""
        data = self.data
        lines_before = 0
        # The first block is small: it is read ahead for the first two edge lines, and a file of
        # names is then read by the engine, not in blocks.
        size = min(BLOCK_BYTES, FIRST_BLOCK_BYTES)
        while start < len(data):
            end = len(data)
            if start + size < end:
                cut = data.find(b"\n", start + size)
                end = end if cut < 0 else cut + 1
            size = BLOCK_BYTES
            block = self._block(start, end, lines_before)
            if len(block.starts):
                yield block
            elif block.fault:
                raise self._first_fault(block, [block.fault])
            lines_before += block.newlines
            start = end

    def _block(self, start: int, end: int, lines_before: int) -> _Block:
        raw = self.buffer[start:end]
        has_comments = self.comments is not None and self.data.find(self.comments, start, end) >= 0
        return _Block(_blank_comments(raw, self.comments[0]) if has_comments else raw,
                      start, self.delimiter, lines_before, self.width)

    @staticmethod
    def _first_fault(block: _Block, faults: list[ParseError]) -> ParseError:
        """The first of the faults in a block, unless a NUL byte comes before: the text is then
        binary data, and a complaint about its columns or ids would mislead."""
        fault = min(faults, key=lambda fault: fault.line)
        nul = _nul_fault(block)
        return nul if nul is not None and nul.line <= fault.line else fault

    def _token(self, block: _Block, token: int) -> tuple[int, str, str]:
        """Where a token begins in the text, the token, and the token shortened for a message."""
        begin, end = block.offset + block.starts[token], block.offset + block.ends[token]
        text = self.data[begin:end].decode("utf-8", "replace")
        return begin, text, text if len(text) <= 40 else text[:37] + "..."

    def _id_fault(self, block: _Block, token: int, relabel: bool) -> ParseError:
        begin, text, shown = self._token(block, token)
        if relabel:
            hint = ("; pass names=True (--names on the command line) if the nodes are named "
                    "by strings")
        else:
            hint = "; for nodes named by strings, pass relabel=True and names=True"
        if text[:1] == "-" and text[1:].isdigit():
            reason = f"negative node id {shown}{hint}"
        elif text.isdigit() and not relabel:
            reason = f"node id {shown} is larger than {LARGEST_ID}"
        elif text.isdigit():
            reason = f"node id {shown} has more than {_INT_DIGITS} digits{hint}"
        else:
            reason = f"node id {shown!r} is not a non-negative integer{hint}"
        return ParseError(self._line_of(begin), reason)

    def _line_of(self, position: int) -> int:
        return self.data.count(b"\n", 0, int(position)) + 1


class _Block:
    """One block of whole lines: its tokens (the trimmed columns), and ``fault``, the first line
    that is neither blank nor ``width`` columns (a ParseError, or None).

    With three columns, ``is_node`` tells the node tokens from the weights."""

    def __init__(self, block: np.ndarray, offset: int, delimiter: int | None, lines_before: int,
                 width: int):
        self.bytes = block
        self.offset = offset
        self.delimiter = delimiter
        self.lines_before = lines_before
        self.width = width
        self._in_weight: np.ndarray | None = None
        is_newline = block == _NEWLINE
        self.line_ends = np.flatnonzero(is_newline)
        self.newlines = len(self.line_ends)
        if block[-1] != _NEWLINE:
            self.line_ends = np.append(self.line_ends, len(block))
        # Bytes 9..13 and 32: the whitespace of C's isspace, which np.fromstring also skips.
        space = ((block - np.uint8(9)) < 5) | (block == 32)
        if delimiter is None:
            self.separator = space | (block == ord(","))
            self.starts, self.ends = _runs(~self.separator)
            self.columns = None
        else:
            is_delimiter = block == delimiter
            padding = space & ~is_delimiter
            self.separator = padding | is_delimiter
            self.columns = np.diff(np.searchsorted(np.flatnonzero(is_delimiter), self.line_ends),
                                   prepend=0) + 1
            padding &= ~is_newline
            if not padding.any():
                # Nothing to trim, so every non-empty column is one run of content.
                self.starts, self.ends = _runs(~self.separator)
                self.content_bytes = int((self.ends - self.starts).sum())
            else:
                content = np.flatnonzero(~self.separator)
                self.content_bytes = len(content)
                # A column begins at content whose column number differs from the content before.
                field = np.cumsum(is_delimiter | is_newline, dtype=np.int32)[content]
                new_field = np.ones(len(field) + 1, dtype=bool)
                np.not_equal(field[1:], field[:-1], out=new_field[1:-1])
                self.starts = content[new_field[:-1]]
                self.ends = content[new_field[1:]] + 1
        tokens = np.diff(np.searchsorted(self.starts, self.line_ends), prepend=0)
        self.fault = self._column_fault(tokens)
        if width == 3:
            if self.fault is None:
                self.is_node = np.ones(len(self.starts), dtype=bool)
                self.is_node[2::3] = False
            else:
                # Lines up to the fault hold three tokens each, but later lines may not.
                column = np.arange(len(self.starts)) - np.repeat(np.cumsum(tokens) - tokens, tokens)
                self.is_node = column != 2

    def edge_lines(self, count: int) -> list[_EdgeLine]:
        """The first ``count`` edge lines, or fewer: those before the block's fault."""
        width = self.width
        rows = np.searchsorted(self.line_ends, self.starts[:width * count]).tolist()
        last = len(self.line_ends) if self.fault is None else \
            self.fault.line - self.lines_before - 1
        lines = []
        for row in rows[0::width][:len(rows) // width]:
            if row >= last:
                break
            begin = 0 if row == 0 else int(self.line_ends[row - 1]) + 1
            end = int(self.line_ends[row])
            k = width * len(lines)
            lines.append(_EdgeLine(
                number=self.lines_before + row + 1,
                text=self.bytes[begin:end].tobytes().decode("utf-8", "replace").strip(),
                tokens=tuple(self.bytes[self.starts[i]:self.ends[i]].tobytes()
                             for i in range(k, k + width)),
                next_offset=self.offset + end + 1))
        return lines

    def _column_fault(self, tokens: np.ndarray) -> ParseError | None:
        columns, width = self.columns, self.width
        if columns is None:
            good = (tokens == 0) | (tokens == width)
        else:
            good = ((tokens == 0) & (columns == 1)) | ((tokens == width) & (columns == width))
        if good.all():
            return None
        i = int(np.argmin(good))
        found = int(tokens[i]) if columns is None else int(columns[i])
        shown = ("" if self.delimiter is None
                 else f" (columns are separated by {chr(self.delimiter)!r})")
        # Without a delimiter, "New York<TAB>Boston" is three columns.
        spaces = ("if node names contain spaces, pass delimiter='\\t' (--delimiter on the command "
                  "line)" if self.delimiter is None and found > width else None)
        if columns is not None and tokens[i] < found:
            reason = "empty column" + shown
        elif width == 3:
            count = ["one", "two"][found - 1] if found < 3 else str(found)
            reason = f"expected three columns (source, target, weight), found {count}" + shown
            if found == 2 and self.lines_before == 0 and not tokens[:i].any():
                # The first edge line already lacks a weight: likely the whole file does.
                reason += ("; to read a file without weights, leave out weighted=True "
                           "(--weighted on the command line)")
        elif found == 1:
            reason = "expected two node ids, found one" + shown
        elif found == 3:
            reason = ("found a third column; pass weighted=True (--weighted on the command line) "
                      "to read the third column as edge weights, or weighted=False "
                      "(--unweighted) to ignore it")
        else:
            reason = f"expected two node ids, found {found} columns"
        if spaces:
            reason += "; " + spaces
        return ParseError(self.lines_before + i + 1, reason)

    @property
    def in_weight(self) -> np.ndarray:
        """Which bytes belong to weights."""
        if self._in_weight is None:
            weights = ~self.is_node
            self._in_weight = _inside(len(self.bytes), self.starts[weights], self.ends[weights])
        return self._in_weight

    def first_non_integer(self) -> int:
        """Index of the first node token that is not 1 to 18 decimal digits, or -1."""
        block = self.bytes
        lengths = node_lengths = self.ends - self.starts
        skipped = self.separator
        if self.width == 3:
            skipped = skipped | self.in_weight
            node_lengths = np.where(self.is_node, lengths, 0)
        candidates = []
        not_digit = np.flatnonzero(((block - np.uint8(ord("0"))) > 9) & ~skipped)
        if len(not_digit):
            candidates.append(int(np.searchsorted(self.starts, not_digit[0], side="right")) - 1)
        if self.columns is not None and int(lengths.sum()) != self.content_bytes:
            # A trimmed column with inner whitespace, such as "1 2" between delimiters.
            inner = np.searchsorted(np.flatnonzero(self.separator), self.ends) - \
                np.searchsorted(np.flatnonzero(self.separator), self.starts) > 0
            if self.width == 3:
                inner &= self.is_node
            if inner.any():
                candidates.append(int(np.argmax(inner)))
        if node_lengths.max() > _INT_DIGITS:
            candidates.append(int(np.argmax(node_lengths > _INT_DIGITS)))
        return min(candidates) if candidates else -1

    def integers(self) -> np.ndarray:
        """The node tokens as uint64, once first_non_integer() has found them all decimal."""
        if self.width == 3:
            text = np.where(self.separator | self.in_weight, np.uint8(32), self.bytes).tobytes()
            count = np.count_nonzero(self.is_node)
        elif self.delimiter is None and ord(",") not in self.bytes:
            text, count = self.bytes.tobytes(), len(self.starts)
        else:
            text = np.where(self.separator, np.uint8(32), self.bytes).tobytes()
            count = len(self.starts)
        values = np.fromstring(text, dtype=np.uint64, sep=" ")
        if len(values) != count:
            # NumPy's reader and this tokenizer disagree on the tokens: never return shifted edges.
            raise RuntimeError("edge-list parser: token count mismatch")
        return values


def _read_floats(text: bytes) -> np.ndarray | None:
    """The numbers in text separated by whitespace, or None if NumPy cannot read them all."""
    with warnings.catch_warnings():
        # Older NumPy stops at what it cannot read with a DeprecationWarning, not an error.
        warnings.simplefilter("error", DeprecationWarning)
        try:
            return np.fromstring(text, dtype=np.float64, sep=" ")
        except (ValueError, DeprecationWarning):
            return None


_PLAIN_LENGTH = 16  # 15 digits and a point
_POWERS_OF_TEN = 10.0 ** np.arange(_PLAIN_LENGTH + 1)  # all exact as doubles


def _plain_decimals(text: np.ndarray, starts: np.ndarray,
                    lengths: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The values of the tokens that are plain decimals, and which tokens are.

    A plain decimal is up to 15 digits with at most one point, such as ``12``, ``0.25`` or
    ``.5``. Its digits make an integer below 2**53 and its decimal places a power of ten up to
    1e15, both exact as doubles, so one division rounds it exactly as strtod does. Tokens that
    are not plain get the value NaN.
    """
    count = len(starts)
    mantissa = np.zeros(count, dtype=np.int64)
    digits = np.zeros(count, dtype=np.int64)
    places = np.zeros(count, dtype=np.int64)
    points = np.zeros(count, dtype=np.int64)
    other = lengths > _PLAIN_LENGTH
    last = len(text) - 1
    for k in range(min(int(lengths.max(initial=0)), _PLAIN_LENGTH)):
        inside = lengths > k
        char = text[np.minimum(starts + k, last)]
        digit = char - np.uint8(ord("0"))
        is_digit = (digit < 10) & inside
        np.copyto(mantissa, mantissa * 10 + digit, where=is_digit)
        digits += is_digit
        places += is_digit & (points > 0)
        is_point = (char == ord(".")) & inside
        points += is_point
        other |= inside & ~is_digit & ~is_point
    plain = ~other & (points <= 1) & (digits > 0) & (digits <= 15)
    values = mantissa / _POWERS_OF_TEN[places]
    values[~plain] = np.nan
    return values, plain


def _inside(size: int, starts: np.ndarray, ends: np.ndarray) -> np.ndarray:
    """A mask of ``size`` bytes, True in the tokens from ``starts`` to ``ends``."""
    change = np.zeros(size + 1, dtype=np.int32)
    change[starts] = 1
    change[ends] -= 1
    return np.cumsum(change[:-1], dtype=np.int32) > 0


def _nul_fault(block: _Block) -> ParseError | None:
    """A fault on the line of the first NUL byte outside comments, or None."""
    nul = np.flatnonzero(block.bytes == 0)
    if not len(nul):
        return None
    line = block.lines_before + int(np.searchsorted(block.line_ends, nul[0])) + 1
    return ParseError(line, _BINARY)


def _blank_comments(block: np.ndarray, marker: int) -> np.ndarray:
    """A copy of the block with every byte from a comment marker to its line end made a space."""
    index = np.arange(len(block), dtype=np.int64)
    last_marker = np.maximum.accumulate(np.where(block == marker, index, -1))
    last_newline = np.maximum.accumulate(np.where(block == _NEWLINE, index, -1))
    block = block.copy()
    block[last_marker > last_newline] = ord(" ")
    return block


def _runs(mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Start and end (exclusive) of every run of True."""
    padded = np.zeros(len(mask) + 2, dtype=bool)
    padded[1:-1] = mask
    edges = np.flatnonzero(padded[1:] != padded[:-1])
    return edges[0::2], edges[1::2]


def _gather_bytes(block: np.ndarray, starts: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """The tokens as a 1-D array of fixed-width byte strings."""
    width = int(lengths.max())
    out = np.zeros((len(starts), width), dtype=np.uint8)
    last = len(block) - 1
    for k in range(width):
        out[:, k] = np.where(lengths > k, block[np.minimum(starts + k, last)], 0)
    return out.view(f"S{width}").ravel()


def _relabel_sorted(values: np.ndarray) -> tuple[np.ndarray, np.ndarray | None]:
    """Node indices for integer names numbered in ascending order, and the names (None if
    0..n-1)."""
    largest = int(values.max())
    if largest < max(4 * len(values), 1 << 20):
        # Dense enough for a presence table: linear time instead of a sort.
        present = np.zeros(largest + 1, dtype=bool)
        present[values] = True
        if present.all():
            return values.astype(np.uint32), None
        names = np.flatnonzero(present)
        rank = np.cumsum(present, dtype=np.uint32) - np.uint32(1)
        return rank[values], names.astype(np.int64)
    names, ids = np.unique(values, return_inverse=True)
    return ids.ravel().astype(np.uint32), names.astype(np.int64)


def _digest(keys: np.ndarray) -> np.ndarray:
    """A 64-bit hash of each fixed-width byte string."""
    width = keys.dtype.itemsize
    words = np.zeros((len(keys), -(-width // 8) * 8), dtype=np.uint8)
    words[:, :width] = keys.view(np.uint8).reshape(len(keys), width)
    digest = np.full(len(keys), 0xCBF29CE484222325, dtype=np.uint64)
    for column in words.view(np.uint64).T:
        digest ^= column
        digest *= np.uint64(0x100000001B3)
        digest ^= digest >> np.uint64(29)
    return digest


def _factorize(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Node indices for byte-string names numbered in order of first appearance, and the names.

    Grouping 64-bit hashes is many times faster than sorting the strings; every key is then
    compared with the first key of its group, and a hash collision falls back to the strings.
    Work happens in hash order where possible, since random access to arrays of this size is
    what costs most.
    """
    step = BLOCK_BYTES // 8
    digest = np.concatenate([_digest(keys[i:i + step]) for i in range(0, len(keys), step)])
    order = np.argsort(digest)
    digest = digest[order]
    new_group = np.empty(len(digest), dtype=bool)
    new_group[0] = True
    np.not_equal(digest[1:], digest[:-1], out=new_group[1:])
    del digest
    group_starts = np.flatnonzero(new_group)
    first = np.minimum.reduceat(order, group_starts)
    sizes = np.diff(np.append(group_starts, len(order)))
    if not np.array_equal(keys[order], np.repeat(keys[first], sizes)):
        return _factorize_exactly(keys)
    # Number the groups by where they first appear.
    by_appearance = np.argsort(first)
    rank = np.empty(len(first), dtype=np.uint32)
    rank[by_appearance] = np.arange(len(first))
    ids = np.empty(len(keys), dtype=np.uint32)
    ids[order] = np.repeat(rank, sizes)
    return ids, _decode(keys[first[by_appearance]])


def _factorize_exactly(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """As _factorize, by sorting the strings themselves."""
    _, first, inverse = np.unique(keys, return_index=True, return_inverse=True)
    by_appearance = np.argsort(first)
    rank = np.empty(len(first), dtype=np.uint32)
    rank[by_appearance] = np.arange(len(first))
    return rank[inverse.ravel()], _decode(keys[first[by_appearance]])


def _decode(keys: np.ndarray) -> np.ndarray:
    names = np.empty(len(keys), dtype=object)
    names[:] = [name.decode("utf-8") for name in keys.tolist()]
    return names
