"""The progress= argument of long calls: nothing, a bar, or the caller's
callback.

    with progress_display(progress, total, desc="run") as bar:
        for ...:
            bar.update()

progress is False or None (nothing shown), True (a tqdm bar when tqdm is
importable, in a notebook its widget; otherwise one line on stderr rewritten
in place) or a callable, called as callback(done, total): with done=0 on
entry, then after every update. An exception from the callback, or
KeyboardInterrupt inside the block, ends the display and goes on to the
caller.
"""

import sys
import time
from typing import Any, Callable, Optional

# The plain line is rewritten at most this often (s), and at the end.
_LINE_INTERVAL = 0.2


class _Nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, n: int = 1) -> None:
        pass


class _Callback:
    def __init__(self, callback: Callable[[int, int], Any], total: int):
        self._callback = callback
        self._total = total
        self._done = 0

    def __enter__(self):
        self._callback(0, self._total)
        return self

    def __exit__(self, *exc):
        return False

    def update(self, n: int = 1) -> None:
        self._done += n
        self._callback(self._done, self._total)


class _Tqdm:
    def __init__(self, tqdm, total: int, desc: str, unit: str):
        self._bar = tqdm(total=total, desc=desc or None, unit=unit, leave=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._bar.close()
        return False

    def update(self, n: int = 1) -> None:
        self._bar.update(n)


class _Line:
    """"desc: 42% (420/1000)", rewritten in place on stderr."""

    def __init__(self, total: int, desc: str, stream=None):
        self._total = total
        self._prefix = f"{desc}: " if desc else ""
        self._stream = stream if stream is not None else sys.stderr
        self._done = 0
        self._shown_at: Optional[float] = None

    def __enter__(self):
        self._show()
        return self

    def __exit__(self, *exc):
        self._show()
        self._stream.write("\n")
        self._stream.flush()
        return False

    def update(self, n: int = 1) -> None:
        self._done += n
        if time.monotonic() - self._shown_at >= _LINE_INTERVAL or self._done >= self._total:
            self._show()

    def _show(self) -> None:
        percent = 100 * self._done // self._total if self._total > 0 else 100
        self._stream.write(f"\r{self._prefix}{percent:3d}% ({self._done}/{self._total})")
        self._stream.flush()
        self._shown_at = time.monotonic()


def _tqdm_class():
    """tqdm.auto's class (a widget in a notebook), or None without tqdm."""
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm


def progress_display(progress: Any, total: int, desc: str = "", unit: str = "it"):
    """A context manager whose update(n=1) reports n more of `total` units
    done, shown as `progress` asks (see the module's text); tqdm names the
    units `unit`. Raises TypeError
    for a `progress` that is none of False, None, True or a callable."""
    if progress is None or progress is False:
        return _Nothing()
    if progress is True:
        tqdm = _tqdm_class()
        return _Tqdm(tqdm, total, desc, unit) if tqdm is not None else _Line(total, desc)
    if callable(progress):
        return _Callback(progress, total)
    raise TypeError(f"progress: give True, False or a callable callback(done, total), "
                    f"got {progress!r}")
