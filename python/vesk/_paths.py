"""Paths handed to vesk: refused as Python's own open() refuses them, and
compared so that the files a run writes never replace the ones it read."""

import os
import stat
from typing import Optional, Sequence, Tuple, Union

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def checked_path(path: PathLike, what: str = "path") -> str:
    """The path as text. Raises ValueError when it holds a NUL character,
    which the operating system would read as its end."""
    text = os.fspath(path)
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    if "\0" in text:
        raise ValueError(f"{what}: embedded null byte")
    return text


def same_file(a: str, b: str) -> bool:
    """Whether two paths name one regular file, or one file still to be
    created. Devices such as /dev/null never count as the same."""
    try:
        status = os.stat(a)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)
    if not stat.S_ISREG(status.st_mode):
        return False
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def refuse_overwrites(caller: str, outputs: Sequence[Tuple[str, Optional[str]]],
                      inputs: Sequence[Tuple[str, Optional[str]]]) -> None:
    """Raises ValueError when an output (name, path), in the order they are
    written, would replace an input file (description, path) or an earlier
    output. Paths given as None are skipped."""
    for i, (name, path) in enumerate(outputs):
        if path is None:
            continue
        for description, other in inputs:
            if other is not None and same_file(path, other):
                raise ValueError(f"{caller}: {name} would overwrite {description}: {path}")
        for earlier, other in outputs[:i]:
            if other is not None and same_file(path, other):
                raise ValueError(f"{caller}: {name} would overwrite the file given as "
                                 f"{earlier}: {path}")
