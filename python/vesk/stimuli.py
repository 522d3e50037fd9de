"""What drives a run from outside: stimulus windows on input channels
(Schedule) and clamped nodes (Clamps), from files or built in code."""

import math
import numbers
import os
from typing import Iterator, List, Optional, Tuple, Union

from . import _core
from ._core import ClampError, ScheduleError
from ._paths import checked_path

WINDOW_VALUE = _core.INSTRUCTION_WINDOW_VALUE
CLAMP_START_MS = _core.CLAMP_START_MS
CLAMP_END_MS = _core.CLAMP_END_MS
CLAMP_VALUE = _core.CLAMP_VALUE


def _number(value, name, error):
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or math.isnan(value):
        raise error(f"{name} must be a number, got {value!r}")
    return float(value)


def _is_text(name):
    """Whether `name` is a str that UTF-8 can encode, as every input name is
    (a lone surrogate, from bytes decoded as file names are, is not)."""
    if not isinstance(name, str):
        return False
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _finite(value, name, error):
    """A window's or clamp's value: an infinite one would only turn the
    network's activity into NaN."""
    value = _number(value, name, error)
    if math.isinf(value):
        raise error(f"{name} must be finite, got {value!r}")
    return value


class Schedule:
    """Stimulus windows by input name. An input follows the value of the
    first of its windows (in the order added) that holds the time, both ends
    included, and is 0 outside them. A window added here reaches a millionth
    of the run's step beyond both ends, so that a sample on the grid at an
    end is inside (7 * 0.1 ms exceeds 0.7 ms by a rounding error); windows
    read from an instruction file act exactly as the command line's. Input
    names are checked against the model when a run starts."""

    def __init__(self):
        self._windows = {}
        self.source: Optional[str] = None  # the instruction file read, if any

    @classmethod
    def from_file(cls, path: Union[str, "os.PathLike[str]"]) -> "Schedule":
        """The schedule of an instruction file, read with the command line's
        rules: times in 0.1 ms units, every window at 100.0. Raises
        ScheduleError with the command line's message."""
        schedule = cls()
        schedule.source = checked_path(path)
        # Windows from a file act exactly as the command line's.
        schedule._windows = {name: [(*w, True) for w in ws] for name, ws in
                             _core.parse_instruction_file(os.fsencode(schedule.source)).items()}
        return schedule

    def add_window(self, input_name: str, start_ms: float, end_ms: float,
                   value: float = WINDOW_VALUE) -> "Schedule":
        """Drives `input_name` at `value` from start_ms to end_ms (ms,
        both included). Returns the schedule, so calls can be chained."""
        if not _is_text(input_name):
            raise ScheduleError(f"input name must be a string (UTF-8 text), got {input_name!r}")
        start = _number(start_ms, "start_ms", ScheduleError)
        end = _number(end_ms, "end_ms", ScheduleError)
        if end < start:
            raise ScheduleError(f"window end {end!r} ms lies before its start {start!r} ms")
        self._windows.setdefault(input_name, []).append(
            (start, end, _finite(value, "value", ScheduleError), False))
        return self

    def windows(self, input_name: str) -> List[Tuple[float, float, float]]:
        """The (start_ms, end_ms, value) windows of one input, in order."""
        return [w[:3] for w in self._windows.get(input_name, ())]

    @property
    def inputs(self) -> List[str]:
        """The input names the schedule drives, in byte order."""
        return sorted(self._windows, key=lambda s: s.encode("utf-8"))

    def _as_map(self):
        return self._windows

    def __len__(self):
        return len(self._windows)

    def __eq__(self, other):
        return isinstance(other, Schedule) and \
            {n: self.windows(n) for n in self._windows} == \
            {n: other.windows(n) for n in other._windows}

    def __repr__(self):
        count = sum(len(ws) for ws in self._windows.values())
        return f"<vesk.Schedule: {count} windows on {len(self._windows)} inputs>"


class Clamps:
    """Nodes, by row index, held at a value over a time window. At every
    sample time inside its window a clamp sets both activities of its node
    (0.0 included); a node with several clamps follows the one added last
    among those active. A clamp added here reaches a millionth of the run's
    step (at least 1e-12 ms) beyond both ends, so that a sample on the grid at
    an end is held (7 * 0.1 ms exceeds 0.7 ms by a rounding error); clamps
    read from a bindings file reach 1e-12 ms, as the command line's do."""

    def __init__(self):
        self._clamps = []
        self.source: Optional[str] = None  # the bindings file read, if any

    @classmethod
    def from_file(cls, path: Union[str, "os.PathLike[str]"], start_ms: float = CLAMP_START_MS,
                  end_ms: float = CLAMP_END_MS, value: float = CLAMP_VALUE) -> "Clamps":
        """One clamp per row index of a bindings file, read with the command
        line's rules. Raises ClampError with the command line's message."""
        clamps = cls()
        clamps.source = checked_path(path)
        for row in _core.parse_bindings_file(os.fsencode(clamps.source)):
            clamps.add(row, start_ms, end_ms, value)
        # Clamps from a file act exactly as the command line's.
        clamps._clamps = [(*c[:4], True) for c in clamps._clamps]
        return clamps

    def add(self, row_index: int, start_ms: float = CLAMP_START_MS, end_ms: float = CLAMP_END_MS,
            value: float = CLAMP_VALUE) -> "Clamps":
        """Holds the node with `row_index` at `value` from start_ms to end_ms
        (ms, both included; 0.0 silences the node). Returns the clamps, so
        calls can be chained."""
        if isinstance(row_index, bool) or not isinstance(row_index, numbers.Integral) \
                or not -2**31 <= row_index < 2**31:
            raise ClampError(f"row index must be a 32-bit integer, got {row_index!r}")
        start = _number(start_ms, "start_ms", ClampError)
        end = _number(end_ms, "end_ms", ClampError)
        if end < start:
            raise ClampError(f"clamp end {end!r} ms lies before its start {start!r} ms")
        self._clamps.append((int(row_index), start, end, _finite(value, "value", ClampError),
                             False))
        return self

    @property
    def rows(self) -> List[int]:
        """The clamped row indices, in the order added."""
        return [c[0] for c in self._clamps]

    def _as_list(self):
        return self._clamps

    def __iter__(self) -> Iterator[Tuple[int, float, float, float]]:
        return (c[:4] for c in self._clamps)

    def __len__(self):
        return len(self._clamps)

    def __eq__(self, other):
        return isinstance(other, Clamps) and list(self) == list(other)

    def __repr__(self):
        return f"<vesk.Clamps: {len(self._clamps)} clamps>"
