"""Paths handed to vesk: refused as Python's own open() refuses them, and
compared so that the files a run writes never replace the ones it read."""

import os
from typing import Optional, Sequence, Tuple, Union

from . import _core

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


def refuse_overwrites(caller: str, outputs: Sequence[Tuple[str, Optional[str]]],
                      inputs: Sequence[Tuple[str, Optional[str]]]) -> None:
    """Raises ValueError when an output (name, path), in the order they are
    written, would replace an input file (description, path) or an earlier
    output, compared as the command line compares them: by file identity.
    Paths given as None are skipped; give the inputs' absolute paths, taken
    when they were read, so that a change of directory since cannot hide
    them."""
    def encoded(files):
        return [(name, None if path is None else os.fsencode(path)) for name, path in files]
    _core.refuse_overwrites(caller, encoded(outputs), encoded(inputs))
