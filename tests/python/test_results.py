"""Results as labelled tables (pandas, xarray), saved and read back. (The
sample grid known before a run: tests/python/test_run.py.)"""

import numpy as np
import pytest

import vesk
from conftest import BINDINGS, instructions

WORDS = "pop_id=W[0-3]"


@pytest.fixture(scope="module")
def both(kaldo):
    return vesk.run(kaldo, 20, schedule=instructions("success"), clamps=BINDINGS, inputs=True,
                    record=["pop_id=W[0-3]|W0_inhib"], every=3, record_state="both")


@pytest.mark.parametrize("label, expected", [
    ("pop_id", ["W0", "W0_inhib", "W1", "W2", "W3"]),
    ("row_index", [160, 161, 162, 164, 166]),
    ("node_id", [0, 1, 2, 4, 6]),
])
def test_to_pandas_labels_columns_by_a_row_map_field(kaldo, both, label, expected):
    one = vesk.run(kaldo, 20, schedule=instructions("success"), clamps=BINDINGS,
                   record=["pop_id=W[0-3]|W0_inhib"], every=3)
    frame = one.to_pandas(label=label)
    assert (frame.columns.name, frame.columns.tolist()) == (label, expected)
    assert np.array_equal(frame.to_numpy(), one.nodes) and np.array_equal(frame.index, one.time)
    split = both.to_pandas(label=label)
    assert split.columns.names == ["state", label]
    assert split.columns.tolist() == [(s, x) for s in "EI" for x in expected]
    assert np.array_equal(split["E"].to_numpy(), both.E)
    assert np.array_equal(split["I"].to_numpy(), both.I)
    assert split["I"].equals(both.to_pandas(state="I", label=label))


def test_inputs_are_labelled_by_name_or_row(kaldo, both):
    names = both.to_pandas(inputs=True)
    assert names.columns.tolist() == kaldo.input_names
    rows = both.to_xarray(inputs=True, label="row_index")
    assert rows.dims == ("time", "input") and rows["input"].values.tolist() == \
        kaldo.input_rows.tolist()
    assert np.array_equal(names.to_numpy(), rows.values)


def test_to_xarray_carries_labels_and_settings(kaldo, both):
    array = vesk.run(kaldo, 5, record=WORDS, record_state="E").to_xarray()
    assert (array.dims, array.name) == (("time", "node"), "E")
    assert array["node"].values.tolist() == ["W0", "W1", "W2", "W3"]
    assert array["row_index"].values.tolist() == [160, 162, 164, 166]
    assert array["circ_id"].values.tolist() == ["WORD_W0", "WORD_W1", "WORD_W2", "WORD_W3"]
    split = both.to_xarray()
    assert split.dims == ("time", "state", "node")
    assert np.array_equal(split.sel(state="I").values, both.I)
    assert split.attrs["alfa"] == kaldo.parameters["alfa"]
    assert split.attrs["every"] == 3 and '"EX1_input_W0": [[10.0, 30.0, 100.0], ' in split.attrs["schedule"]


def test_load_result_gives_back_what_save_wrote(kaldo, both, tmp_path):
    plain = vesk.run(kaldo, 2, y0=0.25)
    for result in (both, plain):
        result.save(tmp_path / "r.npz")
        back = vesk.load_result(tmp_path / "r.npz")
        assert back == result and back.contract is None
        assert back.to_pandas(inputs=result.inputs is not None).equals(
            result.to_pandas(inputs=result.inputs is not None))
    assert back != both
    back.to_csv(tmp_path / "back.csv")
    plain.to_csv(tmp_path / "plain.csv")
    assert (tmp_path / "back.csv").read_bytes() == (tmp_path / "plain.csv").read_bytes()
    with pytest.raises(ValueError, match="^to_csv: a Result read by load_result writes no row"):
        back.to_csv(tmp_path / "x.csv", row_map_path=tmp_path / "m.csv")
