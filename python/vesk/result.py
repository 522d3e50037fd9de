"""The Result of a run: its arrays, the same as labelled tables (pandas,
xarray), as the command line's CSV files, and saved to and read back from
numpy's .npz."""

import contextlib
import errno
import json
import os
import shutil
import threading
import zipfile
from typing import Any, List, Optional

import numpy as np

from . import _core
from ._paths import checked_path, refuse_overwrites
from .contract import ROW_MAP_FIELDS, records_array

# What labels a kept node: its id and its row-map fields.
NODE_FIELDS = ("node_id",) + ROW_MAP_FIELDS
# Node values, by what Result.state says they are.
_VALUE_NAMES = {"output": "activity", "E": "E", "I": "I", "both": "activity"}


def _needs(module, caller, package):
    try:
        return __import__(module)
    except ImportError:
        raise ImportError(f"{caller}() needs {module} (Debian: apt-get install {package})") \
            from None


class Result:
    """The kept samples of one run.

    time: (samples,) ms. nodes: (samples, kept nodes), float64, in full
    precision: the activity that `state` names (with "both", (samples, 2,
    kept nodes), E then I). columns: the row index of each kept node (its
    label in the node-trace CSV). node_ids: the kept nodes' ids. inputs:
    (samples, inputs) or None; input_columns: the inputs' row indices.
    row_map: the model's row map. parameters: the run's settings, with the
    contract's network_parameters and the vesk_version. y0: the
    starting activity ((nodes,), or (2, nodes) when E and I were given
    apart). state: "output" (each node's traced activity), "E", "I" or
    "both". contract: the Contract run, or None for a Result read by
    load_result.

    Two Results are equal when they hold the same values, labels and
    settings.
    """

    state = "output"
    _input_files = ()
    _table = None
    _saved_row_map = None
    _saved_input_names = None

    def __init__(self, contract, time, nodes, node_ids, inputs, parameters, y0):
        self.contract = contract
        self.time = time
        self.nodes = nodes
        self.node_ids = np.arange(contract.n_nodes) if node_ids is None else node_ids
        self.columns = contract.columns[self.node_ids]
        self.inputs = inputs
        self.input_columns = contract.input_rows
        self.parameters = parameters
        self.y0 = y0

    @property
    def row_map(self) -> np.ndarray:
        """The model's row map (Contract.row_map)."""
        return self.contract.row_map if self.contract is not None else self._saved_row_map

    @property
    def node_table(self) -> np.ndarray:
        """The kept nodes' records, in column order: a numpy structured
        array with the fields of NODE_FIELDS (node_id, then the row map's)."""
        if self._table is None:
            nodes = self.contract.nodes
            self._table = records_array([nodes[i][:9] for i in self.node_ids.tolist()],
                                        NODE_FIELDS)
        return self._table

    @property
    def input_names(self) -> List[str]:
        """The name of every input channel, by input_id (inputs' labels)."""
        if self.contract is not None:
            return self.contract.input_names
        return list(self._saved_input_names)

    @property
    def E(self) -> np.ndarray:
        """(samples, kept nodes): the excitatory activity, when kept."""
        return self._population("E")

    @property
    def I(self) -> np.ndarray:  # noqa: E743 (the population's name)
        """(samples, kept nodes): the inhibitory activity, when kept."""
        return self._population("I")

    def _population(self, name):
        if self.state == "both":
            return self.nodes[:, "EI".index(name), :]
        if self.state == name:
            return self.nodes
        raise ValueError(f"the run kept no {name} values: run it with record_state={name!r} "
                         "or 'both'")

    def _node_values(self, state):
        """The 2-D node values to write: those kept, or with "both" the
        population `state` names."""
        if self.state != "both":
            if state not in (None, self.state):
                raise ValueError(f"the run kept {self.state!r} values, not {state!r}")
            return self.nodes
        if state not in ("E", "I"):
            raise ValueError("the run kept E and I: give state='E' or state='I'")
        return self._population(state)

    def _labels(self, label, inputs):
        """The column labels of the node values, or of the inputs (their
        names, or row indices with label "row_index")."""
        if label not in NODE_FIELDS:
            raise ValueError(f"label: give one of {', '.join(NODE_FIELDS)}, got {label!r}")
        if inputs:
            if self.inputs is None:
                raise ValueError("the run kept no inputs: run it with inputs=True")
            return self.input_columns if label == "row_index" else np.array(self.input_names)
        return self.node_table[label]

    def _values_and_states(self, inputs, state):
        """(values, whether they hold E and I apart)."""
        if inputs:
            return self.inputs, False
        if self.state == "both" and state is None:
            return self.nodes, True
        return self._node_values(state), False

    def to_pandas(self, inputs: bool = False, state: Optional[str] = None,
                  label: str = "pop_id") -> Any:
        """A DataFrame of the node values (or of the inputs), indexed by
        time_ms, one column per kept node labelled by its row-map field
        `label` (pop_id, or row_index as in the CSV, node_id, circ_id ...);
        the inputs' columns are their names (row indices with
        label="row_index"). With record_state="both" the columns are a
        (state, node) MultiIndex, E then I, unless state ("E" or "I") picks
        one. Needs pandas."""
        pd = _needs("pandas", "to_pandas", "python3-pandas")
        labels = self._labels(label, inputs)
        values, both = self._values_and_states(inputs, state)
        index = pd.Index(self.time, name="time_ms")
        if both:
            columns = pd.MultiIndex.from_arrays(
                [np.repeat(["E", "I"], len(labels)), np.tile(labels, 2)], names=["state", label])
            return pd.DataFrame(values.reshape(len(self.time), -1), index=index, columns=columns)
        name = "input_name" if inputs and label != "row_index" else label
        return pd.DataFrame(values, index=index, columns=pd.Index(labels, name=name))

    def to_xarray(self, inputs: bool = False, state: Optional[str] = None,
                  label: str = "pop_id") -> Any:
        """An xarray DataArray of the node values, dims ("time", "node"),
        or ("time", "state", "node") with record_state="both" unless state
        picks "E" or "I"; the node coordinate holds each node's `label`
        field, and every row-map field is a coordinate along "node". With
        inputs, the inputs' values, dims ("time", "input"). The attributes
        hold the run's settings (schedule, clamps and drive as JSON text)
        and its network parameters. Needs xarray."""
        xr = _needs("xarray", "to_xarray", "python3-xarray")
        labels = self._labels(label, inputs)
        values, both = self._values_and_states(inputs, state)
        coords = {"time": ("time", self.time, {"units": "ms"})}
        if inputs:
            dims = ("time", "input")
            coords.update(input=labels, row_index=("input", self.input_columns))
            name = "inputs"
        else:
            dims = ("time", "state", "node") if both else ("time", "node")
            table = self.node_table
            coords.update({field: ("node", table[field]) for field in NODE_FIELDS})
            coords["node"] = labels
            if both:
                coords["state"] = ["E", "I"]
            name = state or _VALUE_NAMES[self.state]
        return xr.DataArray(values, dims=dims, coords=coords, name=name, attrs=self._attributes())

    def _attributes(self):
        """The run's settings as flat attributes, as netCDF can store them."""
        p = self.parameters
        attributes = {k: p[k] for k in ("contract", "t_end", "h", "n_samples", "every",
                                         "record_state", "vesk_version")}
        attributes.update(p["network_parameters"])
        attributes.update({k: json.dumps(p[k]) for k in ("schedule", "clamps", "drive")})
        return attributes

    def to_csv(self, path: "str | os.PathLike[str]", *,
               inputs_path: "str | os.PathLike[str] | None" = None,
               row_map_path: "str | os.PathLike[str] | None" = None,
               state: Optional[str] = None) -> None:
        """Writes the node traces (and, when paths are given, the input traces
        and the row map) as the command line writes them. With
        record_state="both", state ("E" or "I") says which values. Like the
        command line, refuses (ValueError) to write over the run's contract,
        schedule or bindings file, or twice into one file. A Result read by
        load_result writes no row map: it has no contract to write it from."""
        if inputs_path is not None and self.inputs is None:
            raise ValueError("the run kept no inputs: run it with inputs=True")
        if row_map_path is not None and self.contract is None:
            raise ValueError("to_csv: a Result read by load_result writes no row map; "
                             "Contract.write_row_map writes it from the contract")
        values = self._node_values(state)
        path = checked_path(path, "path")
        if inputs_path is not None:
            inputs_path = checked_path(inputs_path, "inputs_path")
        if row_map_path is not None:
            row_map_path = checked_path(row_map_path, "row_map_path")
        # In the order they are written, as the command line opens them.
        refuse_overwrites("to_csv", [("row_map_path", row_map_path), ("path", path),
                                     ("inputs_path", inputs_path)], self._input_files)
        if row_map_path is not None:
            self.contract.write_row_map(row_map_path)
        _core.write_traces(os.fsencode(path), [str(c) for c in self.columns.tolist()], self.time,
                           values)
        if inputs_path is not None:
            names = [str(c) for c in self.input_columns.tolist()]
            _core.write_traces(os.fsencode(inputs_path), names, self.time, self.inputs)

    def save(self, path: "str | os.PathLike[str]") -> None:
        """Writes numpy's .npz: time, nodes, columns, node_ids, node_table,
        y0, row_map, input_columns, input_names, parameters (JSON text) and,
        when kept, inputs. load_result reads it back. ".npz" is added to a
        path without it; a save that fails leaves no file behind."""
        arrays = dict(time=self.time, nodes=self.nodes, columns=self.columns,
                      node_ids=self.node_ids, node_table=self.node_table, y0=self.y0,
                      row_map=self.row_map, input_columns=self.input_columns,
                      input_names=np.array(self.input_names, dtype=str),
                      parameters=np.array(json.dumps(self.parameters)))
        if self.inputs is not None:
            arrays.update(inputs=self.inputs)
        if hasattr(path, "write"):
            np.savez(path, **arrays)
            return
        path = checked_path(path)
        if path.endswith(os.sep):  # numpy would write a hidden ".npz" into the folder
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not path.endswith(".npz"):
            path += ".npz"  # as numpy names it
        # A link is written through, as numpy writes it.
        path = os.path.realpath(path) if os.path.islink(path) else path
        # Written beside `path` and renamed, so that a failed save (a full
        # disk) leaves no partial file and raises its first error alone.
        partial = f"{path}.{os.getpid()}-{threading.get_ident()}.partial"
        try:
            file = open(partial, "wb")
        except OSError as e:
            raise type(e)(e.errno, e.strerror, path) from None
        archive = member = None
        try:
            archive = zipfile.ZipFile(file, "w", allowZip64=True)
            for name, values in arrays.items():
                member = archive.open(name + ".npy", "w", force_zip64=True)
                np.lib.format.write_array(member, np.asanyarray(values), allow_pickle=False)
                member.close()
            archive.close()
            file.close()
            if os.path.exists(path):  # the file keeps its permissions
                shutil.copymode(path, partial)
            os.replace(partial, path)
        except BaseException:
            for opened in (member, archive, file):
                with contextlib.suppress(Exception):
                    if opened is not None:
                        opened.close()
            with contextlib.suppress(OSError):
                os.unlink(partial)
            raise

    def __eq__(self, other):
        if not isinstance(other, Result):
            return NotImplemented
        arrays = ("time", "nodes", "columns", "node_ids", "inputs", "input_columns", "y0",
                  "row_map", "node_table")
        # Settings compare as their JSON text reads back: tuples as lists.
        return (self.state == other.state and self.input_names == other.input_names and
                all(_same_array(getattr(self, k), getattr(other, k)) for k in arrays) and
                json.loads(json.dumps(self.parameters)) ==
                json.loads(json.dumps(other.parameters)))

    __hash__ = None  # equal by value, and mutable

    def __repr__(self):
        return (f"<vesk.Result: {len(self.time)} samples x {self.nodes.shape[-1]} nodes"
                f"{', inputs' if self.inputs is not None else ''}>")


def _same_array(a, b):
    if a is None or b is None:
        return a is b
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")


def load_result(path: "str | os.PathLike[str]") -> Result:
    """The Result that Result.save wrote to `path`, equal to the one saved;
    it has no contract (contract is None). Raises what numpy.load raises for
    a file that cannot be read, KeyError for a .npz that is no saved
    Result."""
    with np.load(checked_path(path), allow_pickle=False) as data:
        arrays = {name: data[name] for name in data.files}
    result = Result.__new__(Result)
    result.contract = None
    result.parameters = json.loads(str(arrays["parameters"]))
    result.state = result.parameters["record_state"]
    for name in ("time", "nodes", "columns", "node_ids", "y0", "input_columns"):
        setattr(result, name, arrays[name])
    result.inputs = arrays.get("inputs")
    result._saved_row_map = arrays["row_map"]
    result._saved_input_names = arrays["input_names"].tolist()
    result._table = arrays["node_table"]
    return result
