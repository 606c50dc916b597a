"""Reader, Writer and events: QEL streams of any size, an item at a time.

The work per item happens in the codec (qeltypes._codec's ItemReader,
EventReader and ItemWriter); this module opens paths, and gives the
context managers their ends.
"""
from ._codec import EventReader as _EventReader, ItemReader as _ItemReader, ItemWriter as _ItemWriter
from ._files import _Replacement, _path_of


def _open_source(fp):
    """The file object to read from, and whether it is ours to close."""
    path = _path_of(fp)
    if path is None:
        return fp, False
    # Unbuffered: the reader reads large chunks of its own.
    return open(path, "rb", buffering=0), True


class Reader:
    """Iterates over a QEL stream an item at a time: the items of a root
    list, or the (key, value) entries of a root map, each converted as loads
    converts it.

        with qeltypes.Reader("big.qel") as reader:
            for item in reader:
                ...

    `fp` is a path, or a binary file object with read1() or read(); it is
    read in chunks and never asked to seek, so pipes and sockets do. Memory
    stays bounded by the largest item, however long the stream.

    typed, allow_trailing and the limits are those of loads, except that
    max_elements bounds the elements of each item (the stream as a whole may
    hold any number). The entries of a root map come as they stand, a
    repeated key each time it stands (dict(reader) keeps the last, as load
    does). A stream that is damaged or ends early raises DecodeError with the
    offset of the fault, after every item before it has come.

    A path is opened by the reader and closed when the iteration ends, on
    close(), or at the end of the with block; a file object is left open.
    """

    __slots__ = ("_items",)

    def __init__(self, fp, *, typed=False, allow_trailing=False, max_depth=None, max_elements=None,
                 max_bytes=None):
        source, owned = _open_source(fp)
        try:
            self._items = _ItemReader(source, typed=typed, close_source=owned, allow_trailing=allow_trailing,
                                      max_depth=max_depth, max_elements=max_elements, max_bytes=max_bytes)
        except BaseException:
            if owned:
                source.close()
            raise

    def __iter__(self):
        return self._items

    def __next__(self):
        return next(self._items)

    def close(self):
        """Ends the reading; closes the file if the reader opened it."""
        self._items.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self._items.close()


def events(fp, *, allow_trailing=False, max_depth=None, max_elements=None, max_bytes=None):
    """Iterates over a QEL stream one event per element, without building
    any container: for callers who walk a tree of any shape, or of any size.

    Each event is a tuple (kind, type, value):

        ("start", "list" or "map", None)   a container opens
        ("end", "list" or "map", None)     the innermost container closes
        ("key", type, value)               a map key
        ("value", type, value)             any other element

    `type` names the element's QEL type: "int8" ... "int64", "uint8" ...
    "uint64", "float16", "float32", "float64", "bool", "none", "utf8",
    "cstring", "blob" or "timestamp". `value` is the Python value that loads
    gives, except that a binary of a type other than 0 comes as a Blob, so
    that an event loses nothing of its element. A string or a blob is one
    event holding all of it; memory stays bounded by the largest element.

    `fp` is as for Reader; the iterator is a context manager, and closes a
    file it opened when the iteration ends. allow_trailing and the limits
    are those of loads (max_elements counts the whole stream). A damaged
    stream raises DecodeError with the offset of the fault, after every
    event before it.
    """
    source, owned = _open_source(fp)
    try:
        return _EventReader(source, close_source=owned, allow_trailing=allow_trailing, max_depth=max_depth,
                            max_elements=max_elements, max_bytes=max_bytes)
    except BaseException:
        if owned:
            source.close()
        raise


class Writer:
    """Writes a QEL stream an item at a time: items of a root list with
    append(obj), or entries of a root map with add(key, value), each
    converted as dumps converts it (default and utc as for dumps).

        with qeltypes.Writer("big.qel") as writer:
            for record in records:
                writer.append(record)

    Items go to the file as they come, in chunks of about 256 KiB; memory
    stays bounded by the largest item. An item that cannot be written raises
    EncodeError and leaves nothing of itself behind. The keys of a root map
    are not compared with each other (that would take memory that grows with
    the map): a key added twice is stored twice, and load keeps its last
    value.

    The end of the with block (or close()) ends the root. An exception that
    leaves the block leaves no complete stream behind: a path keeps its old
    file (the new one is written beside it and renamed over it only when
    the root has ended, as dump does); a file object, or a path that cannot
    be replaced (a pipe, a device, a file with other names or that this
    process may not write), keeps the items written so far without the
    root's end, which load refuses as truncated and Reader reads up to the
    cut. A file object is flushed, and left open.
    """

    __slots__ = ("append", "add", "_writer", "_file", "_replacement", "_done")

    def __init__(self, fp, root="list", *, default=None, utc=False):
        if root not in ("list", "map"):
            raise ValueError('root must be "list" or "map", not %r' % (root,))
        self._done = False
        path = _path_of(fp)
        self._replacement = _Replacement(path) if path is not None else None
        self._file = self._replacement.file if path is not None else fp
        try:
            self._writer = _ItemWriter(self._file.write, root == "map", default=default, utc=utc)
        except BaseException:
            self._drop_replacement()
            raise
        # The codec's own methods: an item costs one call.
        self.append = self._writer.append
        self.add = self._writer.add

    @property
    def count(self):
        """The number of items written so far."""
        return self._writer.count

    def flush(self):
        """Hands the items written so far to the file, and flushes it."""
        self._writer.flush()
        self._flush_file()

    def close(self):
        """Ends the root and the writing: the stream is complete. A path
        gets its new file now."""
        if self._done:
            return
        self._done = True
        try:
            self._writer.close()
            if self._replacement is not None:
                self._replacement.commit()
                self._replacement = None
            else:
                self._flush_file()
        except BaseException:
            self._drop_replacement()
            raise

    def _abandon(self):
        """Ends the writing without the root's end: see the class."""
        if self._done:
            return
        self._done = True
        try:
            if self._replacement is None:
                self._writer.abandon()
                self._flush_file()
        finally:
            self._drop_replacement()

    def _flush_file(self):
        flush = getattr(self._file, "flush", None)
        if flush is not None:
            flush()

    def _drop_replacement(self):
        if self._replacement is not None:
            self._replacement.abort()
            self._replacement = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, traceback):
        if exc_type is None:
            self.close()
        else:
            self._abandon()

    def __del__(self):
        # A writer dropped without close leaves no temporary file behind.
        if getattr(self, "_replacement", None) is not None:
            self._drop_replacement()
