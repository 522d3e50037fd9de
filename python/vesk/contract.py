"""Simulation contracts: the model a run integrates."""

import difflib
import json
import math
import numbers
import os
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _core
from ._paths import checked_path, refuse_overwrites
from ._core import ContractError
from .checking import PathLike, temporary_contract_file, warn_about

ROW_MAP_FIELDS = (
    "row_index", "pop_id", "pop_typ", "con_typ", "circ_id", "h_row", "d_row", "mat_id")
# The global constants, by their keys in the contract's "network_parameters".
PARAMETER_NAMES = _core.PARAMETER_NAMES
TIME_CONSTANTS = ("tau_E", "tau_I")


def records_array(records, fields) -> np.ndarray:
    """Row-map records (tuples of `fields`: node_id, row_index, then text)
    as a read-only numpy structured array, each text as wide as its
    longest."""
    dtype = []
    for k, name in enumerate(fields):
        if name in ("node_id", "row_index"):
            dtype.append((name, np.int64 if name == "node_id" else np.int32))
        else:
            dtype.append((name, f"U{max((len(r[k]) for r in records), default=0) or 1}"))
    array = np.array(records, dtype=dtype)
    array.flags.writeable = False
    return array


def check_parameters(parameters: Dict[str, float], where: str) -> None:
    """Raises ValueError, its message starting with `where`, for a constant
    that is not finite or a time constant that is not positive: the
    integration would give NaN or numbers with no meaning."""
    for name in PARAMETER_NAMES:
        value = parameters[name]
        if not math.isfinite(value):
            raise ValueError(f"{where}{name} must be finite, got {value!r}")
        if name in TIME_CONSTANTS and not value > 0:
            raise ValueError(f"{where}{name} must be a positive number of ms, got {value!r}")


class Records(tuple):
    """The records of a contract's nodes or inputs: a tuple of NodeRecord or
    InputRecord that also gives itself as a table."""

    def to_pandas(self) -> Any:
        """A DataFrame with one row per record and one column per field.
        Needs pandas."""
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("to_pandas() needs pandas (Debian: apt-get install python3-pandas)") \
                from None
        return pd.DataFrame.from_records(self, columns=self._fields)


class NodeRecords(Records):
    """The nodes of a contract, by node_id (Contract.nodes)."""
    _fields = None  # set below, from NodeRecord


class InputRecords(Records):
    """The entries of a contract's "inputs", in order (Contract.inputs)."""
    _fields = None  # set below, from InputRecord


class NodeRecord(NamedTuple):
    """One node of a contract: its metadata as in the row map, and its
    per-node constants (tau in ms)."""
    node_id: int
    row_index: int
    pop_id: str
    pop_typ: str
    con_typ: str
    circ_id: str
    h_row: str
    d_row: str
    mat_id: str
    tau: float
    is_excitatory: bool


class InputRecord(NamedTuple):
    """The row-map record of one entry of the contract's "inputs"."""
    row_index: int
    pop_id: str
    pop_typ: str
    con_typ: str
    circ_id: str
    h_row: str
    d_row: str
    mat_id: str


NodeRecords._fields = NodeRecord._fields
InputRecords._fields = InputRecord._fields


def _csr_matrix(arrays):
    try:
        from scipy import sparse
    except ImportError:
        raise ImportError("weights need scipy (Debian: apt-get install python3-scipy)") from None
    row_ptr, col_idx, values, shape = arrays
    return sparse.csr_matrix((values, col_idx, row_ptr), shape=shape)


# from_arrays: the constants of a contract with an empty "wc_coupling" and
# the plainest sigmoid.
_DEFAULT_CONSTANTS = {"theta": 0.0, "beta": 1.0, "f_max": 1.0, "alfa": 0.0, "epsilon": 0.0,
                      "gamma": 0.0, "delta": 0.0, "tau_E": 2.5, "tau_I": 1.25}


def _per_item(values, count, what, kind):
    """`values` as a list of `count` items of `kind`."""
    items = np.asarray(values, dtype=kind if kind is not object else None).tolist() \
        if kind is not object else list(values)
    if np.ndim(items) != 1 or len(items) != count:
        raise ValueError(f"{what}: give {count} values, one per entry, got shape "
                         f"{np.shape(values)}")
    return items


def _columns(given, count, what, defaults):
    """The row-map columns (row_index, then texts) of `count` records:
    those given by name in `given`, the rest from `defaults` or "null"."""
    given = {} if given is None else given
    unknown = [k for k in given.keys() if k not in ROW_MAP_FIELDS]
    if unknown:
        raise ValueError(f"{what}: no row-map column {unknown[0]!r} (columns: "
                         f"{', '.join(ROW_MAP_FIELDS)})")
    columns = []
    for field in ROW_MAP_FIELDS:
        values = given[field] if field in given else defaults.get(field, ["null"] * count)
        kind = int if field == "row_index" else str
        columns.append([kind(v) for v in _per_item(values, count, f"{what}[{field!r}]", object)])
    return columns


def _csr_arrays(matrix):
    """(row_ptr, col_idx, values) of a scipy CSR matrix, entries in the
    order they are stored."""
    return (matrix.indptr.astype(np.int64), matrix.indices.astype(np.int64),
            matrix.data.astype(np.float64))


class Contract:
    """A loaded simulation contract. Read-only; one contract serves any
    number of runs, also at the same time from several threads."""

    def __init__(self, network, source, text=None, file=None):
        # Made by load_contract, from_dict and from_json. For vesk.check:
        # `text` is the JSON of a contract given as data, `file` the absolute
        # path of a contract loaded from a file.
        self._network = network
        self.source = source
        self._text = text
        self._file = file
        self._constants = None  # the network's own, until with_parameters
        # nodes, columns, row_map: made when first asked for, and shared by
        # the contracts with_parameters makes from this one.
        self._cache = {}

    @classmethod
    def from_dict(cls, contract: dict, *, check: bool = True) -> "Contract":
        """The contract given as the dict that its JSON text would load as.
        Raises ContractError as load_contract does; with `check`, warns
        (ContractWarning) about what vesk-check warns about."""
        return cls._from_text(json.dumps(contract), "<dict>", check)

    @classmethod
    def from_json(cls, text: Union[str, bytes], *, check: bool = True) -> "Contract":
        """The contract given as JSON text (str, or UTF-8 bytes); see
        from_dict. Bytes that are not UTF-8 are the loader's to report."""
        if not isinstance(text, (str, bytes)):
            raise TypeError(f"from_json: give the JSON text as str or bytes, got "
                            f"{type(text).__name__}")
        return cls._from_text(text, "<string>", check)

    @classmethod
    def _from_text(cls, text, source, check):
        # The loader reads files; messages name `source` instead of the file.
        with temporary_contract_file(text) as path:
            try:
                network = _core.load_contract(path)
            except ContractError as e:
                raise ContractError(str(e).replace(path, source)) from None
            if check:
                warn_about(path, source, stacklevel=3)
        return cls(network, source, text)

    @classmethod
    def from_arrays(cls, *, weights: Any, is_excitatory: Any, input_weights: Any = None,
                    input_names: Any = None, parameters: Optional[Dict[str, float]] = None,
                    tau: Any = None, nodes: Any = None, inputs: Any = None,
                    check: bool = True) -> "Contract":
        """A contract built from arrays: `weights` (n x n, row = target node,
        column = source node; scipy.sparse or dense; zeros are no edges),
        `is_excitatory` (n flags), `input_weights` (n x m, column = input),
        `input_names` (m names; default "input_0", ...), `parameters` (the
        nine constants, as Contract.parameters gives them; default those of
        an empty "wc_coupling" with theta 0, beta 1, f_max 1) and `tau` (n
        values, ms; default tau_E for an excitatory node, tau_I otherwise).
        `nodes` and `inputs` give row-map metadata by column (a DataFrame,
        or a dict of sequences, of any of row_index, pop_id, pop_typ,
        con_typ, circ_id, h_row, d_row, mat_id); the defaults are row index
        node_id (inputs n + input_id), pop_id "N<node_id>" (inputs: their
        name) and "null" elsewhere. The contract is written through the
        contract schema and loaded by load_contract's loader, so it is
        checked as a file is, with the same messages (ContractError) and
        warnings (with `check`); to_json writes that text. Needs scipy."""
        try:
            from scipy import sparse
        except ImportError:
            raise ImportError("from_arrays needs scipy (Debian: apt-get install python3-scipy)") \
                from None
        for name, given in (("weights", weights), ("input_weights", input_weights)):
            if np.iscomplexobj(given.data if sparse.issparse(given) else np.asarray(given)):
                raise TypeError(f"{name}: give real weights, got complex values")
        node_matrix = sparse.csr_matrix(weights, dtype=np.float64)
        n = node_matrix.shape[0]
        if node_matrix.shape != (n, n):
            raise ValueError(f"weights: give n x n (target x source), got shape "
                             f"{node_matrix.shape}")
        input_matrix = sparse.csr_matrix(
            (n, 0) if input_weights is None else input_weights, dtype=np.float64)
        m = input_matrix.shape[1]
        if input_matrix.shape[0] != n:
            raise ValueError(f"input_weights: give {n} x inputs (target x input), got shape "
                             f"{input_matrix.shape}")
        excitatory = _per_item(is_excitatory, n, "is_excitatory", bool)
        names = [f"input_{k}" for k in range(m)] if input_names is None else \
            [str(name) for name in _per_item(input_names, m, "input_names", object)]
        constants = dict(_DEFAULT_CONSTANTS)
        for name, value in (parameters or {}).items():
            if name not in constants:
                close = difflib.get_close_matches(name, PARAMETER_NAMES, n=1)
                hint = f" (did you mean {close[0]!r}?)" if close else ""
                raise TypeError(f"parameters: no parameter {name!r}{hint}")
            constants[name] = float(value)
        taus = _per_item(tau, n, "tau", float) if tau is not None else \
            [constants["tau_E"] if e else constants["tau_I"] for e in excitatory]
        node_columns = _columns(nodes, n, "nodes", {
            "row_index": range(n), "pop_id": [f"N{i}" for i in range(n)],
            "pop_typ": ["excitatory" if e else "inhibitory" for e in excitatory],
            "con_typ": ["excitation" if e else "inhibition" for e in excitatory]})
        input_columns = _columns(inputs, m, "inputs", {"row_index": range(n, n + m),
                                                       "pop_id": names,
                                                       "con_typ": ["excitation"] * m})
        text = _core.contract_from_arrays(
            _core.NetworkParameters(constants),
            list(zip(range(n), *node_columns)), taus, excitatory,
            list(zip(range(m), *input_columns)), names,
            _csr_arrays(node_matrix), _csr_arrays(input_matrix))
        return cls._from_text(text, "<arrays>", check)

    @property
    def n_nodes(self) -> int:
        """The number of nodes."""
        return self._network.n_nodes

    @property
    def n_inputs(self) -> int:
        """The number of input channels."""
        return self._network.n_inputs

    @property
    def n_edges(self) -> Tuple[int, int]:
        """(node-to-node weights, input-to-node weights) stored."""
        return self._network.n_edges()

    @property
    def parameters(self) -> Dict[str, float]:
        """The global constants: theta, beta, f_max, alfa, epsilon, gamma,
        delta, tau_E and tau_I (ms), as a new dict."""
        if self._constants is None:
            return self._network.parameters()
        return self._constants.as_dict()

    def with_parameters(self, **values: float) -> "Contract":
        """This contract with some global constants replaced, e.g.
        with_parameters(alfa=1.5, theta=0.2): the sigmoid's theta, beta and
        f_max, the couplings alfa, epsilon, gamma and delta, and the time
        constants tau_E and tau_I (ms). The new contract shares the loaded
        network (nodes, inputs, weights) with this one; runs of it equal
        those of a contract loaded with the same values in its file. Raises
        TypeError for an unknown name (with the likely one meant) or a value
        that is no number, ValueError for a value that is not finite or a
        time constant that is not positive."""
        parameters = self.parameters
        for name, value in values.items():
            if name not in parameters:
                close = difflib.get_close_matches(name, PARAMETER_NAMES, n=1)
                hint = f" (did you mean {close[0]!r}?)" if close else ""
                raise TypeError(f"with_parameters: no parameter {name!r}{hint}; the parameters "
                                f"are {', '.join(PARAMETER_NAMES)}")
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(f"with_parameters: {name} must be a number, got {value!r}")
            parameters[name] = float(value)
        check_parameters(parameters, "with_parameters: ")
        contract = Contract(self._network, self.source, self._text, self._file)
        contract._constants = _core.NetworkParameters(parameters)
        contract._cache = self._cache
        return contract

    @property
    def nodes(self) -> NodeRecords:
        """One NodeRecord per node, by node_id; nodes.to_pandas() gives them
        as a DataFrame."""
        if "nodes" not in self._cache:
            tau = self._network.tau
            excitatory = self._network.is_excitatory()
            self._cache["nodes"] = NodeRecords(
                NodeRecord(*md, tau[i], bool(excitatory[i]))
                for i, md in enumerate(self._network.node_records()))
        return self._cache["nodes"]

    @property
    def weights(self) -> Any:
        """The node-to-node weights, n_nodes x n_nodes, row = target node,
        column = source node: a scipy.sparse CSR matrix, entries in the
        order the simulator adds them (a pair given twice stays two
        entries). A new matrix at every call. Needs scipy."""
        return _csr_matrix(_core.weight_arrays(self._network, False))

    @property
    def input_weights(self) -> Any:
        """The input-to-node weights, n_nodes x n_inputs, row = target node,
        column = input_id; as weights."""
        return _csr_matrix(_core.weight_arrays(self._network, True))

    @property
    def input_names(self) -> List[str]:
        """The name of every input channel, by input_id."""
        return list(self._network.input_names)

    @property
    def input_rows(self) -> np.ndarray:
        """The row index of every input channel, by input_id (the input
        traces' column labels)."""
        return np.array(self._network.input_row_index, dtype=np.int64)

    @property
    def inputs(self) -> InputRecords:
        """One InputRecord per entry of the contract's "inputs";
        inputs.to_pandas() gives them as a DataFrame."""
        return InputRecords(InputRecord(*md[1:]) for md in self._network.input_records())

    @property
    def columns(self) -> np.ndarray:
        """The row index of every node, by node_id: the node traces' column
        labels."""
        if "columns" not in self._cache:
            columns = np.array([r.row_index for r in self.nodes], dtype=np.int64)
            columns.flags.writeable = False
            self._cache["columns"] = columns
        return self._cache["columns"]

    @property
    def row_map(self) -> np.ndarray:
        """The row map, as --output-row-map writes it: node records, then
        input records, ordered by row index; a numpy structured array with
        the fields of ROW_MAP_FIELDS."""
        if "row_map" not in self._cache:
            records = [r[1:9] for r in self._network.node_records()]
            records += [r[1:9] for r in self._network.input_records()]
            records.sort(key=lambda r: r[0])
            self._cache["row_map"] = records_array(records, ROW_MAP_FIELDS)
        return self._cache["row_map"]

    def write_row_map(self, path: PathLike) -> None:
        """Writes the row map as the command line's --output-row-map does;
        like the command line, refuses (ValueError) to write over the
        contract's own file."""
        path = checked_path(path)
        refuse_overwrites("write_row_map", [("path", path)], [("the contract file", self._file)])
        _core.write_row_map(os.fsencode(path), self._network)

    def to_json(self, path: PathLike) -> None:
        """Writes this contract as contract JSON to `path`, with the
        constants that with_parameters set: vesk-sim and load_contract read
        it back to the same network, so runs of the file equal runs of this
        contract. Raises ContractError for a constant JSON cannot hold (NaN,
        an infinity) and OSError when the file cannot be written; a file
        not written whole is removed."""
        _core.write_contract(checked_path(path), self._network, self._constants)

    def to_json_text(self) -> str:
        """The text to_json writes."""
        return _core.contract_json(self._network, self._constants)

    def __repr__(self) -> str:
        changed = ""
        if self._constants is not None:
            own = self._network.parameters()
            changed = ", ".join(f"{k}={v!r}" for k, v in self.parameters.items() if v != own[k])
            changed = f" ({changed})" if changed else ""
        return (f"<vesk.Contract {self.source}{changed}: {self.n_nodes} nodes, "
                f"{self.n_inputs} inputs>")


def load_contract(path: PathLike, *, check: bool = True) -> Contract:
    """Loads the simulation contract at `path`. Raises ContractError (a
    ValueError) with the message the command line prints after "Error: ".
    With `check`, warns (ContractWarning) about what vesk-check warns about:
    a node_id given twice, an id no entry names, an unknown key ...; this
    reads the file a second time (check=False saves that)."""
    path = checked_path(path)
    contract = Contract(_core.load_contract(os.fsencode(path)), path, file=os.path.abspath(path))
    if check:
        warn_about(path, path, stacklevel=2)
    return contract
