"""Simulation contracts: the model a run integrates."""

import json
import os
import tempfile
from typing import NamedTuple

import numpy as np

from . import _core
from ._paths import checked_path
from ._core import ContractError

ROW_MAP_FIELDS = (
    "row_index", "pop_id", "pop_typ", "con_typ", "circ_id", "h_row", "d_row", "mat_id")


class NodeRecord(NamedTuple):
    """One node of a contract: its metadata as in the row map, and its
    per-node constants."""
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


class Contract:
    """A loaded simulation contract. Read-only; one contract serves any
    number of runs, also at the same time from several threads."""

    def __init__(self, network, source):
        # Made by load_contract, from_dict and from_json.
        self._network = network
        self.source = source
        self._nodes = None
        self._columns = None
        self._row_map = None

    @classmethod
    def from_dict(cls, contract):
        """The contract given as the dict that its JSON text would load as."""
        return cls._from_text(json.dumps(contract), "<dict>")

    @classmethod
    def from_json(cls, text):
        """The contract given as JSON text."""
        if isinstance(text, bytes):
            text = text.decode("utf-8")
        return cls._from_text(text, "<string>")

    @classmethod
    def _from_text(cls, text, source):
        # The loader reads files; messages name `source` instead of the file.
        fd, path = tempfile.mkstemp(prefix="vesk-contract-", suffix=".json")
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
            try:
                network = _core.load_contract(path)
            except ContractError as e:
                raise ContractError(str(e).replace(path, source)) from None
        finally:
            os.unlink(path)
        return cls(network, source)

    @property
    def n_nodes(self):
        return self._network.n_nodes

    @property
    def n_inputs(self):
        return self._network.n_inputs

    @property
    def n_edges(self):
        """(node-to-node weights, input-to-node weights) stored."""
        return self._network.n_edges()

    @property
    def parameters(self):
        """The global constants: theta, beta, f_max, alfa, epsilon, gamma,
        delta, tau_E, tau_I."""
        return self._network.parameters()

    @property
    def nodes(self):
        """One NodeRecord per node, by node_id."""
        if self._nodes is None:
            tau = self._network.tau
            excitatory = self._network.is_excitatory()
            self._nodes = tuple(NodeRecord(*md, tau[i], bool(excitatory[i]))
                                for i, md in enumerate(self._network.node_records()))
        return self._nodes

    @property
    def input_names(self):
        """The name of every input channel, by input_id."""
        return list(self._network.input_names)

    @property
    def input_rows(self):
        """The row index of every input channel, by input_id (the input
        traces' column labels)."""
        return np.array(self._network.input_row_index, dtype=np.int64)

    @property
    def inputs(self):
        """One InputRecord per entry of the contract's "inputs"."""
        return tuple(InputRecord(*md[1:]) for md in self._network.input_records())

    @property
    def columns(self):
        """The row index of every node, by node_id: the node traces' column
        labels."""
        if self._columns is None:
            self._columns = np.array([r.row_index for r in self.nodes], dtype=np.int64)
            self._columns.flags.writeable = False
        return self._columns

    @property
    def row_map(self):
        """The row map, as --output-row-map writes it: node records, then
        input records, ordered by row index; a numpy structured array with
        the fields of ROW_MAP_FIELDS."""
        if self._row_map is None:
            records = [r[1:9] for r in self._network.node_records()]
            records += [r[1:9] for r in self._network.input_records()]
            records.sort(key=lambda r: r[0])
            widths = [max((len(r[k]) for r in records), default=0) or 1 for k in range(1, 8)]
            dtype = [("row_index", np.int32)] + [(name, f"U{w}")
                                                 for name, w in zip(ROW_MAP_FIELDS[1:], widths)]
            self._row_map = np.array(records, dtype=dtype)
            self._row_map.flags.writeable = False
        return self._row_map

    def write_row_map(self, path):
        """Writes the row map as the command line's --output-row-map does."""
        _core.write_row_map(checked_path(path), self._network)

    def __repr__(self):
        return f"<vesk.Contract {self.source}: {self.n_nodes} nodes, {self.n_inputs} inputs>"


def load_contract(path):
    """Loads the simulation contract at `path`. Raises ContractError (a
    ValueError) with the message the command line prints after "Error: "."""
    path = checked_path(path)
    return Contract(_core.load_contract(path), path)
