"""vesk.run's own settings: kept nodes and samples, the step, the starting
state, stimuli built in code, contracts given as data; Ctrl-C, the example."""

import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vesk
from conftest import BINDINGS, MODEL, SOURCE, instructions

# Two unconnected nodes, node 0 excitatory and node 1 inhibitory.
TWO_NODES = {
    "counts": {"n_nodes": 2, "n_inputs": 0},
    "network_parameters": {"sigmoid": {"theta": 0, "beta": 1, "f_max": 1},
                           "wc_coupling": {"tau_E": 2.5, "tau_I": 1.25}},
    "nodes": [dict(node_id=i, tau=2.5, is_excitatory=i == 0, pop_id=f"P{i}", pop_typ="t",
                   con_typ="c", circ_id="x", h_row="h", d_row="d", mat_id="m") for i in (0, 1)],
    "inputs": [],
}


@pytest.fixture(scope="module")
def full(kaldo):
    return vesk.run(kaldo, 20, schedule=instructions("success"), clamps=BINDINGS, inputs=True)


@pytest.mark.parametrize("record, every, pop_ids", [
    ("pop_id=W[0-3]", 7, {"W0", "W1", "W2", "W3"}),
    ({"pop_typ": "word", "circ_id": "WORD_W1[45]"}, 1, {"W14", "W15"}),
    ([697, 604, 160], 3, None),
    (None, 19, None),
])
def test_record_and_every_keep_exactly_a_subset(full, kaldo, record, every, pop_ids):
    part = vesk.run(kaldo, 20, schedule=instructions("success"), clamps=BINDINGS, inputs=True,
                    record=record, every=every)
    if pop_ids is not None:
        assert {kaldo.nodes[i].pop_id for i in part.node_ids} == pop_ids
    if isinstance(record, list):
        assert part.columns.tolist() == record
    where = [full.columns.tolist().index(c) for c in part.columns]
    assert np.array_equal(part.time, full.time[::every])
    assert np.array_equal(part.nodes, full.nodes[::every, where])
    assert np.array_equal(part.inputs, full.inputs[::every])


@pytest.mark.parametrize("y0, rows", [
    # One RK4 step of 0.1 ms after another, with its fused multiply-adds.
    (None, [(0, 0), (0.019605280000000003, 0.038441813333333331),
            (0.038441825992243203, 0.073928080641956981)]),
    # Half of f_max is where both activities rest.
    (0.5, [(0.5, 0.5)] * 3),
    # The nodes are not connected: node 1 moves as from zero.
    ([0.5, 0.0], [(0.5, 0), (0.5, 0.038441813333333331), (0.5, 0.073928080641956981)]),
])
def test_step_and_starting_state(y0, rows):
    result = vesk.run(vesk.Contract.from_dict(TWO_NODES), 0.2, h=0.1, y0=y0)
    assert result.time.tolist() == [0.0, 0.1, 0.2]
    assert result.nodes.tolist() == [list(r) for r in rows]


def test_h_override_on_the_command_line_grid_is_the_same_run(kaldo):
    cli_grid, given = (vesk.run(kaldo, 10, h=h, record=[160, 697]) for h in (None, 10 / 99))
    assert np.array_equal(cli_grid.nodes, given.nodes) and np.array_equal(cli_grid.time, given.time)
    assert vesk.run(kaldo, 10, h=0.1, record=[160]).time.tolist() == [i * 0.1 for i in range(101)]


def test_stimuli_built_in_code_equal_the_same_files(kaldo, tmp_path):
    (tmp_path / "i.txt").write_text("fixed_time 200\nNum_of_words 2\nWord 100 0\nNoun 0\n"
                                    "Word 30 1\nVerb -10 50\nWord_inhib 60 90\n")
    (tmp_path / "b.txt").write_text("697\n# comment\n604 x\n99999\n")
    schedule = (vesk.Schedule()
                .add_window("EX1_input_W0", 0.1 * 100, 0.1 * 300)
                .add_window("EX2_Bgate_W_N", 0.1 * 100, 0.1 * 300)
                .add_window("EX1_input_W1", 0.1 * 130, 0.1 * 330)
                .add_window("EX2_Bgate_W_V", 0.1 * 120, 0.1 * 180)
                .add_window("EX0a_inhib_W_all", 0.1 * 190, 0.1 * 220))
    clamps = vesk.Clamps().add(697).add(604).add(99999)
    assert schedule == vesk.Schedule.from_file(tmp_path / "i.txt")
    assert clamps == vesk.Clamps.from_file(tmp_path / "b.txt")
    with pytest.warns(UserWarning, match="1 clamp row indices name no node in the model: 99999"):
        in_code = vesk.run(kaldo, 30, schedule=schedule, clamps=clamps, every=5)
    with pytest.warns(UserWarning):
        from_files = vesk.run(kaldo, 30, schedule=tmp_path / "i.txt", clamps=tmp_path / "b.txt",
                              every=5)
    assert np.array_equal(in_code.nodes, from_files.nodes)


def test_clamps_hold_their_own_value_and_window(kaldo):
    clamps = vesk.Clamps().add(160, 1.0, 2.0, value=7.5).add(160, 1.5, 3.0, value=9.0)
    result = vesk.run(kaldo, 4, h=0.5, clamps=clamps, record=[160])
    values = result.nodes[:, 0].tolist()
    # Samples at 0, 0.5, ... 4 ms; where both clamps act the later one wins.
    assert values[2:7] == [7.5, 9.0, 9.0, 9.0, 9.0]
    assert values[0] == 0.0 and values[1] not in (7.5, 9.0) and values[7] not in (7.5, 9.0)


def test_contract_as_dict_or_json_equals_the_file(kaldo):
    with open(MODEL) as f:
        text = f.read()
    for contract in (vesk.Contract.from_dict(json.loads(text)), vesk.Contract.from_json(text)):
        assert (contract.n_nodes, contract.n_inputs) == (2553, 159)
        assert contract.nodes == kaldo.nodes and contract.parameters == kaldo.parameters
        assert np.array_equal(vesk.run(contract, 5).nodes, vesk.run(kaldo, 5).nodes)
    with pytest.raises(vesk.ContractError, match=r"^JSON parse error in <string>: \[json"):
        vesk.Contract.from_json("{")


@pytest.mark.parametrize("call, error, message", [
    (lambda c: vesk.run(c, 1, y0=[0.0]), vesk.RunError, "simulate: y0 size must equal n_nodes"),
    (lambda c: vesk.run(c, 1, record="pop_id=nothing"), ValueError,
     "record: no node matches pop_id=nothing"),
    (lambda c: vesk.run(c, 1, record=[-5]), ValueError, "record: no node has row index -5"),
    (lambda c: vesk.run(c, 1, 10), ValueError, "give t_end or n_steps, not both"),
    (lambda c: vesk.Schedule().add_window("x", 2, 1), vesk.ScheduleError,
     "window end 1.0 ms lies before its start 2.0 ms"),
], ids=["y0", "pattern", "row", "grid", "window"])
def test_argument_errors(kaldo, call, error, message):
    with pytest.raises(error) as raised:
        call(kaldo)
    assert str(raised.value) == message


def test_ctrl_c_stops_a_long_run_and_leaves_the_package_usable(tmp_path):
    script = tmp_path / "interrupt.py"
    script.write_text(textwrap.dedent(f"""
        import os, signal, threading
        import vesk
        contract = vesk.load_contract({MODEL!r})
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            vesk.run(contract, 1e6, record=[160], every=1000)  # hours of work
            print("not interrupted")
        except KeyboardInterrupt:
            print("interrupted", len(vesk.run(contract, 1, record=[160]).time))
    """))
    done = subprocess.run([sys.executable, script], capture_output=True, text=True, timeout=120,
                          check=False)
    assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted 10\n", "")


def test_example_script_draws_the_demo_figure(tmp_path):
    out = tmp_path / "demo.png"
    done = subprocess.run([sys.executable, f"{SOURCE}/examples/demo_from_python.py", "--out", out],
                          capture_output=True, text=True, timeout=600, check=False)
    assert (done.returncode, done.stderr) == (0, "")
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
