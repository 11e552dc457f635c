"""A dataset's own files: plain names directly in its directory, opened without following links.

Every name a dataset uses comes from its plan (or, for datasets of layout 1, from its manifest,
checked here first), and every file is opened with O_NOFOLLOW and must be a regular file: a
symbolic link placed in a dataset's directory (to a file elsewhere, or to a device or a pipe that
would block a read) is refused instead of being read or written through. Paths are plain strings
(see writer: pathlib interns every name it parses).
"""

from __future__ import annotations

import errno
import os
import stat

from .errors import DatasetError

_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
# A FIFO opened for reading would block until a writer comes; non-blocking, the open returns and
# fstat then refuses it. Regular files ignore the flag.
_NONBLOCK = getattr(os, "O_NONBLOCK", 0)
_LINK_ERRORS = (errno.ELOOP, errno.EMLINK)  # Linux says ELOOP for a link under O_NOFOLLOW, FreeBSD EMLINK


def plain_name(name: object, what: str) -> str:
    """name, when it names a file directly inside a dataset's directory; otherwise DatasetError
    naming it. Absolute paths, separators, '.' and '..' would reach other directories."""
    if (not isinstance(name, str) or name in ("", ".", "..") or "/" in name or "\\" in name or "\0" in name
            or (os.altsep is not None and os.altsep in name) or os.path.isabs(name)):
        raise DatasetError(f"{what} {name!r} is not a file name inside the dataset's directory; "
                           "a dataset only reads and writes its own files, so it is refused")
    return name


def open_file(directory: str | os.PathLike[str], name: str, flags: int = os.O_RDONLY, mode: int = 0o644) -> int:
    """A descriptor of the regular file directory/name, never through a symbolic link; DatasetError
    when name is a link or not a regular file. Other OSErrors (missing, no permission) pass through."""
    path = os.path.join(directory, plain_name(name, "the file"))
    try:
        fd = os.open(path, flags | _NOFOLLOW | _NONBLOCK | _CLOEXEC, mode)
    except OSError as error:
        if error.errno in _LINK_ERRORS and os.path.islink(path):
            raise DatasetError(f"{path} is a symbolic link; a dataset's files must be its own, so it is "
                               "refused (remove the link)") from None
        if error.errno == errno.EISDIR:
            raise DatasetError(f"{path} is a directory, not a file of the dataset; remove or rename it") from None
        raise
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise DatasetError(f"{path} is not a regular file; remove or rename it")
        if _NONBLOCK:
            os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def read_file(directory: str | os.PathLike[str], name: str, limit: int | None = None) -> bytes:
    """The bytes of directory/name (see open_file); DatasetError when it is longer than limit."""
    fd = open_file(directory, name)
    try:
        size = os.fstat(fd).st_size
        if limit is not None and size > limit:
            raise DatasetError(f"{os.path.join(directory, name)} holds {size:,} bytes, more than the "
                               f"{limit:,} such a file can hold; it is not a dataset's")
        with os.fdopen(fd, "rb", closefd=False) as stream:
            data = stream.read()  # not read(limit): that would reserve the whole limit first
        if limit is not None and len(data) > limit:  # grown since fstat
            raise DatasetError(f"{os.path.join(directory, name)} holds more than the {limit:,} bytes such a file "
                               "can hold; it is not a dataset's")
        return data
    finally:
        os.close(fd)

