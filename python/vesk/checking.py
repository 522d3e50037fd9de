"""vesk.check: the findings of vesk-check on a model and its stimulus files,
and the warnings the contract loaders give for them."""

from __future__ import annotations

import contextlib
import json
import math
import numbers
import os
import sys
import tempfile
import warnings
from typing import TYPE_CHECKING, Iterator, NamedTuple, Optional, Union

from . import _core
from ._paths import checked_path

if TYPE_CHECKING:
    from .contract import Contract
    from .stimuli import Clamps, Schedule

PathLike = Union[str, "os.PathLike[str]"]

# vesk-check keeps this many findings of one sort unless asked for all.
DEFAULT_LIMIT = 20


class ContractWarning(UserWarning):
    """A contract that loads but probably not as meant: vesk-check's warnings
    (a node_id given twice, an id that no entry names, an unknown key ...)."""


class Finding(NamedTuple):
    """One problem found by vesk.check.

    severity: "error" (a run would stop) or "warning" (a run would go on,
    probably not as meant). place: "<file>:<line>" in a text file,
    "<file>: <json path>" in a contract (e.g. "model.json: nodes[12].mat_id"),
    "<file>" for a file as a whole; a contract given as data is named
    "<dict>" or "<string>". message: what is wrong, in vesk-check's words."""
    severity: str
    place: str
    message: str

    def __str__(self) -> str:
        """The line vesk-check prints for this finding."""
        return f"{self.place}: {self.severity}: {self.message}"


class Findings(list):
    """The findings of vesk.check, in vesk-check's order (a list of Finding).

    errors, warnings: how many of each were found, also of those left out.
    left_out: {sort of finding: how many were left out} beyond the limit.
    stop: the error a run would stop with (the message after "Error: "),
    or None."""

    def __init__(self, findings, left_out, stop, errors, warnings_):
        super().__init__(findings)
        self.left_out = dict(left_out)
        self.stop = stop
        self.errors = errors
        self.warnings = warnings_

    @property
    def ok(self) -> bool:
        """Whether nothing at all was found."""
        return self.errors == 0 and self.warnings == 0

    def __repr__(self) -> str:
        return f"<vesk.Findings: {self.errors} errors, {self.warnings} warnings>"


def _file_of(stimulus, kind, what) -> str:
    """The path to check for a schedule or clamps argument."""
    if stimulus is None:
        return ""
    if isinstance(stimulus, kind):
        if stimulus.source is None:
            raise TypeError(f"check: {what} built in code cannot be checked; give the path of "
                            "its file, or run it (the run checks it against the model)")
        return stimulus.source
    return _path_text(stimulus)


def _path_text(path) -> str:
    """A path given as str, bytes or path object, as text (bytes that are
    not UTF-8 survive as os.fsdecode keeps them)."""
    try:
        return checked_path(path)
    except ValueError:
        raise ValueError(f"check: embedded null character in path "
                         f"{os.fsdecode(os.fspath(path))!r}") from None


def _scan(model: str, source: str, instructions: str = "", bindings: str = "",
          t_end: Optional[float] = None, model_loads: bool = False,
          limit: Optional[int] = DEFAULT_LIMIT) -> Findings:
    """vesk-check's findings, with the model's path shown as `source`."""
    found, left_out, stop, errors, warnings_ = _core.check(
        *map(os.fsencode, (model, instructions, bindings)), t_end, model_loads, limit or 0)
    if source != model:
        found = [(s, p.replace(model, source), m.replace(model, source)) for s, p, m in found]
        stop = stop.replace(model, source) if stop is not None else None
    return Findings([Finding(*f) for f in found], left_out, stop, errors, warnings_)


def warn_about(model: str, source: str, stacklevel: int) -> None:
    """Issues a ContractWarning for each finding about a contract that
    loaded (at most DEFAULT_LIMIT of a sort, then how many more)."""
    findings = _scan(model, source, model_loads=True)
    for f in findings:
        warnings.warn(f"{f.place}: {f.message}", ContractWarning, stacklevel=stacklevel + 1)
    for kind, count in findings.left_out.items():
        warnings.warn(f"{source}: {count} more of the sort {kind!r}", ContractWarning,
                      stacklevel=stacklevel + 1)


def check(contract: Union["Contract", PathLike, dict],
          schedule: Union["Schedule", PathLike, None] = None,
          clamps: Union["Clamps", PathLike, None] = None,
          t_end: Optional[float] = None, *, limit: Optional[int] = DEFAULT_LIMIT) -> Findings:
    """Checks a model, and optionally its instruction and bindings files, as
    vesk-check does: runs nothing, and returns every problem found as
    Findings (a list of Finding: severity, place, message).

    contract: a Contract, the path of a contract file, or a contract as a
      dict. Never raises for a faulty contract: its faults are findings. A
      Contract loaded from a file is checked by reading that file again.
    schedule: the path of an instruction file, or a Schedule read from one
      (the file is checked: windows added in code are not).
    clamps: the path of a bindings file, or Clamps read from one (likewise).
    t_end: the run's end time (ms); windows after it are reported.
    limit: findings kept of each sort (None: all); the rest are counted
      in Findings.left_out.

    Unlike vesk-check, inputs that no instruction command can drive are not
    reported: a Schedule drives any input by name."""
    from .contract import Contract
    from .stimuli import Clamps, Schedule

    instructions = _file_of(schedule, Schedule, "a Schedule")
    bindings = _file_of(clamps, Clamps, "Clamps")
    if t_end is not None:
        if isinstance(t_end, bool) or not isinstance(t_end, numbers.Real):
            raise TypeError(f"check: t_end must be a number of ms, got {t_end!r}")
        t_end = float(t_end)
        if not t_end > 0:
            raise ValueError(f"check: t_end must be > 0 ms, got {t_end!r}")
        if math.isinf(t_end):
            raise ValueError(f"check: t_end must be finite, got {t_end!r}")
    if limit is not None:
        if isinstance(limit, bool) or not isinstance(limit, numbers.Integral):
            raise TypeError(f"check: limit must be a whole number or None, got {limit!r}")
        if limit < 1:
            raise ValueError(f"check: limit must be at least 1 or None, got {limit!r}")
        # Beyond any count of findings: all are kept.
        limit = min(int(limit), sys.maxsize)
    if isinstance(contract, dict):
        with temporary_contract_file(json.dumps(contract)) as path:
            return _scan(path, "<dict>", instructions, bindings, t_end, False, limit)
    if isinstance(contract, Contract):
        if contract._text is None:
            return _scan(contract._file, contract.source, instructions, bindings, t_end, False,
                         limit)
        with temporary_contract_file(contract._text) as path:
            return _scan(path, contract.source, instructions, bindings, t_end, False, limit)
    path = _path_text(contract)
    return _scan(path, path, instructions, bindings, t_end, False, limit)


@contextlib.contextmanager
def temporary_contract_file(text: Union[str, bytes]) -> Iterator[str]:
    """The path of a temporary file holding `text` (str in UTF-8, a lone
    surrogate as the byte it stands for), removed afterwards: the loader and
    the checks read files."""
    if isinstance(text, str):
        try:
            text = text.encode("utf-8", "surrogateescape")
        except UnicodeEncodeError:  # a surrogate that stands for no byte
            text = text.encode("utf-8", "surrogatepass")
    fd, path = tempfile.mkstemp(prefix="vesk-contract-", suffix=".json")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(text)
        yield path
    finally:
        os.unlink(path)
