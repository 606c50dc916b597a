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
        raise ValueError("a file name cannot hold NUL: %r" % (path,))
    return path


def _temporary_name(target):
    folder, name = os.path.split(target)
    suffix = ".%s.tmp" % os.urandom(6).hex()
    if isinstance(name, bytes):
        return os.path.join(folder, b"." + name + os.fsencode(suffix))
    return os.path.join(folder, "." + name + suffix)


def _replace_file(path, data):
    """Writes `data` to a new file beside the target and renames it over the
    target (the file a symbolic link names), so that a failure at any point
    (a full disk, say) leaves the old file as it was and no temporary file
    behind. Other targets are written straight through (see below)."""
    try:
        old = os.stat(path)
    except FileNotFoundError:
        old = None
    target = os.path.realpath(path) if os.path.islink(path) else path
    # A pipe or a device is written straight through; so is a file with
    # other names (a rename would leave them the old contents), and a file
    # this process may not write, so that it is refused as open() refuses it.
    if old is not None and (not stat.S_ISREG(old.st_mode) or old.st_nlink > 1 or not os.access(target, os.W_OK)):
        with open(path, "wb") as f:
            f.write(data)
        return
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    while True:
        temporary = _temporary_name(target)
        try:
            fd = os.open(temporary, flags, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            # Errors of delayed allocation surface here, before the rename.
            os.fsync(f.fileno())
        if old is not None:
            os.chmod(temporary, stat.S_IMODE(old.st_mode))
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


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
