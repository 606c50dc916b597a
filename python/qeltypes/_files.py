"""dump and load: the codec's bytes to and from files."""
import os
import stat

from ._codec import dumps, loads


def _path_of(fp):
    """The file name that `fp` stands for, or None for a file object. A name
    holding NUL is refused before anything is opened: the system would cut
    it at the NUL and name another file."""
    if not isinstance(fp, (str, bytes, os.PathLike)):
        return None
    path = os.fspath(fp)
    if ("\0" if isinstance(path, str) else b"\0") in path:
        raise ValueError("embedded null byte")
    return path


def _temporary_name(target):
    folder, name = os.path.split(target)
    suffix = ".%s.tmp" % os.urandom(6).hex()
    if isinstance(name, bytes):
        return os.path.join(folder, b"." + name + os.fsencode(suffix))
    return os.path.join(folder, "." + name + suffix)


class _Replacement:
    """A file opened to take the place of `path`: written beside the target
    and renamed over it (the file a symbolic link names) by commit, so that
    a failure at any point (a full disk, say) leaves the old file as it was
    and abort leaves no temporary file behind. Other targets are written
    straight through (see below): there abort leaves what was written."""

    def __init__(self, path):
        try:
            old = os.stat(path)
        except FileNotFoundError:
            old = None
        target = os.path.realpath(path) if os.path.islink(path) else path
        self._mode = None if old is None else stat.S_IMODE(old.st_mode)
        self._target = target
        self._temporary = None
        # A pipe or a device is written straight through; so is a file with
        # other names (a rename would leave them the old contents), and a file
        # this process may not write, so that it is refused as open() refuses it.
        if old is not None and (not stat.S_ISREG(old.st_mode) or old.st_nlink > 1 or not os.access(target, os.W_OK)):
            self.file = open(path, "wb")
            return
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
        while True:
            temporary = _temporary_name(target)
            try:
                fd = os.open(temporary, flags, 0o666)
                break
            except FileExistsError:
                continue
        self._temporary = temporary
        try:
            self.file = os.fdopen(fd, "wb")
        except BaseException:
            os.close(fd)
            self._remove()
            raise

    def commit(self):
        """Closes the file and puts it in place of the target."""
        try:
            if self._temporary is None:
                self.file.close()
                return
            with self.file:
                self.file.flush()
                # Errors of delayed allocation surface here, before the rename.
                os.fsync(self.file.fileno())
            if self._mode is not None:
                os.chmod(self._temporary, self._mode)
            os.replace(self._temporary, self._target)
            self._temporary = None
        except BaseException:
            self.abort()
            raise

    def abort(self):
        """Closes the file; the target keeps its old contents, or, written
        straight through, what was written so far."""
        try:
            self.file.close()
        except OSError:
            pass
        self._remove()

    def _remove(self):
        if self._temporary is not None:
            try:
                os.unlink(self._temporary)
            except OSError:
                pass
            self._temporary = None


def _replace_file(path, data):
    replacement = _Replacement(path)
    try:
        replacement.file.write(data)
    except BaseException:
        replacement.abort()
        raise
    replacement.commit()


def dump(obj, fp, *, default=None, utc=False):
    """Writes `obj` as QEL to `fp`: a binary file object, or a str, bytes or
    os.PathLike path. Options as for dumps. The object is encoded whole
    before any file is touched; a path to a regular file is replaced
    atomically."""
    path = _path_of(fp)
    data = dumps(obj, default=default, utc=utc)
    if path is None:
        fp.write(data)
    else:
        _replace_file(path, data)


def load(fp, *, typed=False, allow_trailing=False, max_depth=None, max_elements=None, max_bytes=None):
    """Reads one QEL stream from `fp`: a binary file object (read to its end)
    or a path. Options as for loads."""
    path = _path_of(fp)
    if path is None:
        data = fp.read()
    else:
        with open(path, "rb") as f:
            data = f.read()
    return loads(data, typed=typed, allow_trailing=allow_trailing, max_depth=max_depth,
                 max_elements=max_elements, max_bytes=max_bytes)
