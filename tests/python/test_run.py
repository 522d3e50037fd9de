"""vesk.run's own settings: kept nodes and samples, the step, the starting
state, stimuli built in code, contracts given as data; Ctrl-C."""

import json
import resource
import shutil
import signal
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import vesk
from conftest import BINDINGS, MODEL, instructions

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


@pytest.mark.parametrize("grid, times", [
    # With h, no sample lies past t_end: the last is floor(t_end / h) * h ...
    (dict(t_end=1, h=0.6), [0.0, 0.6]),
    (dict(t_end=100, h=0.15), [i * 0.15 for i in range(667)]),
    # ... where 0.7 / 0.1 = 6.999... counts as 7 steps.
    (dict(t_end=0.7, h=0.1), [i * 0.1 for i in range(8)]),
    # Text as vesk-sim reads it: the leading number.
    (dict(t_end="0.2_5"), [0.0, 0.2]),
    # The first sample is kept whatever `every`.
    (dict(t_end=10, every=2**63 - 1), [0.0]),
    # n_steps samples, without h as far apart as n_steps steps of 0.1 ms make them.
    (dict(n_steps=4, h=0.25), [0.0, 0.25, 0.5, 0.75]),
    (dict(n_steps=3), [0.0, 0.15000000000000002, 0.30000000000000004]),
])
def test_samples_lie_on_the_grid_up_to_t_end(kaldo, grid, times):
    result = vesk.run(kaldo, record=[160], **grid)
    assert result.time.tolist() == times
    if "every" not in grid:
        assert vesk.sample_times(**grid).tolist() == times
    # t_end in the parameters is the last sample's time, kept or not.
    assert result.parameters["t_end"] == (10 if "every" in grid else times[-1])


def test_windows_and_clamps_built_in_code_include_both_ends(kaldo):
    # 7 * 0.1 exceeds 0.7 by a rounding error; 0.0 holds the node at 0.
    schedule = vesk.Schedule().add_window("EX1_input_W0", 0.1, 0.7, value=3.0)
    clamps = vesk.Clamps().add(160, 0.1, 0.7, value=0.0)
    result = vesk.run(kaldo, 1.2, h=0.1, schedule=schedule, clamps=clamps, y0=0.5, inputs=True,
                      record=[160], record_state="both")
    column = kaldo.input_names.index("EX1_input_W0")
    assert result.inputs[:, column].tolist() == [0.0] + [3.0] * 7 + [0.0] * 5
    assert result.nodes[1:8].tolist() == [[[0.0], [0.0]]] * 7
    assert result.nodes[0].tolist() == [[0.5], [0.5]] and 0.0 not in result.nodes[8:]


def test_drive_gives_the_bits_of_the_same_windows(kaldo):
    names = ["EX1_input_W0", "EX2_Bgate_W_N"]
    columns = [kaldo.input_names.index(n) for n in names]
    windows = (vesk.Schedule().add_window(names[0], 1.0, 3.0)
               .add_window(names[1], 2.0, 5.5, 40.0).add_window(names[1], 7.0, 8.0, -2.5))
    expected = vesk.run(kaldo, 10, schedule=windows, inputs=True)
    drives = {n: expected.inputs[:, k] for n, k in zip(names, columns)}
    alone = vesk.run(kaldo, 10, drive=drives, inputs=True)
    beside = vesk.run(kaldo, 10, schedule=vesk.Schedule().add_window(names[0], 1.0, 3.0),
                      drive={names[1]: drives[names[1]].tolist()}, inputs=True)
    assert set(drives[names[1]]) == {0.0, 40.0, -2.5}
    for result in (alone, beside):
        assert np.array_equal(result.nodes, expected.nodes)
        assert np.array_equal(result.inputs, expected.inputs)
    assert alone.parameters["drive"] == sorted(names)


def test_record_state_and_y0_by_population(kaldo):
    inhibitory = next(n.row_index for n in kaldo.nodes if not n.is_excitatory)
    rows = [160, inhibitory, 604]
    kept = vesk.run(kaldo, 5, record=rows, every=3)
    both = vesk.run(kaldo, 5, record=rows, every=3, record_state="both")
    excitatory = np.array([kaldo.nodes[i].is_excitatory for i in kept.node_ids])
    assert excitatory.any() and not excitatory.all()
    assert both.nodes.shape == (len(kept.time), 2, 3)
    assert np.array_equal(np.where(excitatory, both.E, both.I), kept.nodes)
    for state in "EI":
        alone = vesk.run(kaldo, 5, record=rows, every=3, record_state=state)
        assert np.array_equal(getattr(alone, state), getattr(both, state))
    n = kaldo.n_nodes
    e, i = np.linspace(0, 1, n), np.linspace(1, 0, n)
    apart = [vesk.run(kaldo, 1, y0=y0, record=rows, record_state="both").nodes
             for y0 in (np.stack([e, i]), [e, i])]
    assert np.array_equal(apart[0], apart[1])
    assert apart[0][0, 0].tolist() == [e[j] for j in kept.node_ids]
    assert apart[0][0, 1].tolist() == [i[j] for j in kept.node_ids]
    same = vesk.run(kaldo, 1, y0=np.stack([e, e]), record=rows)
    assert np.array_equal(same.nodes, vesk.run(kaldo, 1, y0=e, record=rows).nodes)


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


@pytest.mark.parametrize("call, error, message", [
    (lambda c: vesk.run(c, 1, y0=[0.0]), vesk.RunError, "y0 holds 1 values, the model has 2553 nodes"),
    (lambda c: vesk.run(c, 1, record="pop_id=nothing"), ValueError,
     "record: no node matches pop_id=nothing"),
    (lambda c: vesk.run(c, 1, record=[-5]), ValueError, "record: no node has row index -5"),
    (lambda c: vesk.run(c, 1, 10), ValueError, "give t_end or n_steps, not both"),
    (lambda c: vesk.run(c, 180.05), vesk.RunError,
     "t_end=180.05 is not a whole number of steps of h=0.1 ms"),
    (lambda c: vesk.run(c, n_steps=1), vesk.RunError,
     "n_steps must lie between 2 and 2147483647 without h, got 1"),
    # Text is read as vesk-sim reads --t-end.
    (lambda c: vesk.run(c, "ms"), vesk.RunError,
     "--t-end needs a number of milliseconds within the range of a double, got 'ms'"),
    (lambda c: vesk.Schedule().add_window("x", 2, 1), vesk.ScheduleError,
     "window end 1.0 ms lies before its start 2.0 ms"),
    (lambda c: vesk.Clamps().add(0, 50, 10), vesk.ClampError,
     "clamp end 10.0 ms lies before its start 50.0 ms"),
    (lambda c: vesk.run(c, 1, y0=np.zeros((2, 3))), ValueError,
     "y0 must hold one value per node, or E and I as a (2, 2553) array, got shape (2, 3)"),
    (lambda c: vesk.run(c, 1, record_state="EI"), ValueError,
     "record_state must be 'E', 'I' or 'both', got 'EI'"),
    (lambda c: vesk.run(c, 1, record_state="both").to_csv("x.csv"), ValueError,
     "the run kept E and I: give state='E' or state='I'"),
    (lambda c: vesk.run(c, 1, record=[160]).E, ValueError,
     "the run kept no E values: run it with record_state='E' or 'both'"),
    # Drives: one value per sample, on inputs of the model that no window drives.
    (lambda c: vesk.run(c, 1, drive={"EX1_input_W0": np.ones(9)}), ValueError,
     "drive: input 'EX1_input_W0' needs one value per sample, 10, got shape (9,)"),
    (lambda c: vesk.run(c, 1, drive={"EX1_input_W0": 5.0}), ValueError,
     "drive: input 'EX1_input_W0' needs one value per sample, 10, got 5.0"),
    (lambda c: vesk.run(c, 1, drive={"EX1_input_W0": None}), ValueError,
     "drive: input 'EX1_input_W0' needs one value per sample, 10, got None"),
    (lambda c: vesk.run(c, 1, drive={"EX1_input_W0": np.ones(10) + 1j}), TypeError,
     "drive: input 'EX1_input_W0' needs real numbers, got complex128 values"),
    (lambda c: vesk.run(c, 1, drive={"EX1_input_W0": np.ma.masked_less(np.arange(10.0), 3)}),
     TypeError, "drive: input 'EX1_input_W0' is a masked array; give plain values (e.g. "
     "values.filled(0.0))"),
    (lambda c: vesk.run(c, 1, every=2**63), ValueError,
     "every must lie between 1 and 9223372036854775807, got 9223372036854775808"),
    (lambda c: vesk.run(c, 1, every=1.5), TypeError, "every must be a whole number, got 1.5"),
    (lambda c: vesk.run(c, 1, y0=np.ma.masked_less(np.ones(c.n_nodes), 2)), TypeError,
     "y0 is a masked array; give plain values (e.g. y0.filled(0.0))"),
    (lambda c: vesk.run(c, 1, clamps=vesk.Schedule()), TypeError,
     "clamps: give a Clamps or the path of a bindings file, got Schedule"),
    (lambda c: vesk.Schedule().add_window("EX1_input_W0", 0, 1, value=float("inf")),
     vesk.ScheduleError, "value must be finite, got inf"),
    (lambda c: vesk.Clamps().add(160, value=-float("inf")), vesk.ClampError,
     "value must be finite, got -inf"),
    (lambda c: vesk.Schedule().add_window("\udce9", 0, 1), vesk.ScheduleError,
     "input name must be a string (UTF-8 text), got '\\udce9'"),
    (lambda c: vesk.run(c, 1, schedule=vesk.Schedule().add_window("W\0", 0, 1)),
     vesk.ScheduleError, "Instruction target 'W\\x00' is not an external input in the loaded "
     "model"),
    (lambda c: vesk.run(c, 1, drive={"nowhere": np.ones(10)}), vesk.ScheduleError,
     "drive: 'nowhere' is not an external input in the loaded model"),
    (lambda c: vesk.run(c, 1, drive={"EX1_input_w0": np.ones(10)}), vesk.ScheduleError,
     "drive: 'EX1_input_w0' is not an external input in the loaded model "
     "(did you mean 'EX1_input_W0'?)"),
    (lambda c: vesk.run(c, 1, schedule=vesk.Schedule().add_window("EX1_inptu_W3", 0, 1)),
     vesk.ScheduleError, "Instruction target 'EX1_inptu_W3' is not an external input in the "
     "loaded model (did you mean 'EX1_input_W3'?)"),
    (lambda c: vesk.run(c, 1, record=["pop_typ=word", "pop_id=w1"]), ValueError,
     "record: no node matches pop_typ=word, pop_id=w1 (did you mean pop_id=W1?)"),
    (lambda c: vesk.run(c, 1, record="pop_id=EX1_input_W0"), ValueError,
     "record: no node matches pop_id=EX1_input_W0 ('EX1_input_W0' is an input, not a node: "
     "inputs=True keeps the inputs' values)"),
    # Constants that would give NaN or meaningless numbers.
    (lambda c: vesk.run(vesk.Contract.from_dict(dict(TWO_NODES, network_parameters={
        "sigmoid": TWO_NODES["network_parameters"]["sigmoid"], "wc_coupling": {"tau_I": -1.0}})),
        1), ValueError,
     "run: tau_I must be a positive number of ms, got -1.0"),
    (lambda c: vesk.run_batch(c, [{}, {"parameters": {"beta": float("inf")}}], 1), ValueError,
     "run_batch: scenario 1: beta must be finite, got inf"),
    (lambda c: vesk.run(c, 1, schedule=vesk.Schedule().add_window("EX1_input_W0", 0, 1),
                        drive={"EX1_input_W0": np.ones(10)}), vesk.ScheduleError,
     "drive: input 'EX1_input_W0' also has schedule windows; give it one or the other"),
    # A NUL would cut the path short where the file is opened.
    (lambda c: vesk.load_contract(MODEL + "\0x"), ValueError, "path: embedded null byte"),
    (lambda c: vesk.Schedule.from_file(instructions("success") + "\0x"), ValueError,
     "path: embedded null byte"),
    (lambda c: vesk.Clamps.from_file(BINDINGS + "\0x"), ValueError, "path: embedded null byte"),
    (lambda c: vesk.run(c, 1, record=[160]).to_csv("keep.txt\0.csv"), ValueError,
     "path: embedded null byte"),
    # The kept samples of all nodes over 2^31 - 1 samples: refused before any allocation.
    (lambda c: vesk.run(c, n_steps=2**31 - 1), vesk.RunError,
     "run: the kept samples need 40864.0 GiB of memory, this machine has "),
], ids=["y0", "pattern", "row", "grid", "off-grid", "one-sample", "text", "window", "clamp",
        "y0-shape", "record_state", "both-csv", "no-E", "drive-length", "drive-scalar", "drive-none", "drive-complex",
        "drive-masked", "every-huge", "every-float", "y0-masked", "clamps-type", "window-inf",
        "clamp-inf", "name-surrogate", "name-nul", "drive-name", "drive-hint", "schedule-hint",
        "record-hint", "record-input", "tau-negative", "batch-inf",
        "drive-and-window", "nul-contract",
        "nul-schedule", "nul-clamps", "nul-csv", "too-large"])
def test_argument_errors(kaldo, call, error, message):
    with pytest.raises(error) as raised:
        call(kaldo)
    # The memory available differs from machine to machine.
    assert str(raised.value) == message or \
        message.endswith("has ") and str(raised.value).startswith(message)


# The files a run read are known by identity: a change of directory since
# does not hide them. Run in tmp/sub, after reading tmp/m.json, i.txt, b.txt.
@pytest.mark.parametrize("call, message", [
    (lambda r, c, tmp: r.to_csv(tmp / "m.json"),
     "to_csv: path would overwrite the contract file: {tmp}/m.json"),
    (lambda r, c, tmp: r.to_csv("n.csv", inputs_path="n.csv"),
     "to_csv: inputs_path would overwrite the file given as path: n.csv"),
    (lambda r, c, tmp: r.to_csv("n.csv", row_map_path="../i.txt"),
     "to_csv: row_map_path would overwrite the schedule file: ../i.txt"),
    (lambda r, c, tmp: r.to_csv("n.csv", inputs_path="./../b.txt"),
     "to_csv: inputs_path would overwrite the bindings file: ./../b.txt"),
    (lambda r, c, tmp: c.write_row_map("../m.json"),
     "write_row_map: path would overwrite the contract file: ../m.json"),
], ids=["contract", "two-outputs", "schedule", "bindings", "row-map"])
def test_writers_refuse_the_files_read(tmp_path, monkeypatch, call, message):
    monkeypatch.chdir(tmp_path)
    shutil.copy(MODEL, "m.json")
    (tmp_path / "i.txt").write_text("Noun 0 10\n")
    (tmp_path / "b.txt").write_text("160\n")
    contract = vesk.load_contract("m.json", check=False)
    result = vesk.run(contract, 1, record=[160], inputs=True, schedule="i.txt", clamps="b.txt")
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path / "sub")
    before = {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    with pytest.raises(ValueError) as raised:
        call(result, contract, tmp_path)
    assert str(raised.value) == message.format(tmp=tmp_path)
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


# A disk that fills up (a file size limit here), a folder for a file: one
# error, no partial file.
@pytest.mark.parametrize("path, message", [
    ("r", "OSError: [Errno 27] File too large"),
    ("./", "IsADirectoryError: [Errno 21] Is a directory: './'"),
], ids=["save-full", "save-folder"])
def test_a_failed_save_leaves_the_folder_as_it_was(tmp_path, monkeypatch, path, message):
    monkeypatch.chdir(tmp_path)
    result = vesk.run(MODEL, 20, inputs=True)
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, limits[1]))
    try:
        with pytest.raises(OSError) as raised:
            result.save(path)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
    assert f"{raised.type.__name__}: {raised.value}".startswith(message)
    assert list(tmp_path.iterdir()) == []


# Ctrl-C during a long run, then a run again; a run in a thread, or another
# call that lets go of the interpreter over and over in a daemon thread, as
# the interpreter ends.
CTRL_C = """
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    vesk.run(contract, 1e6, record=[160], every=1000)  # hours of work
    print("not interrupted")
except KeyboardInterrupt:
    print("interrupted", len(vesk.run(contract, 1, record=[160]).time))
"""
RUN_IN_THREAD = """
thread = threading.Thread(target=vesk.run, args=(contract, 2000), daemon={daemon},
                          kwargs=dict(record=[160], every=1000))
thread.start()
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
thread.join()
"""
CALL_IN_A_LOOP = """
def loop():
    while True:
        {call}
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.5)
"""


@pytest.mark.parametrize("body, status, stdout, last_lines", [
    (CTRL_C, 0, "interrupted 10\n", []),
    # The interpreter exits while a daemon thread runs; Python ends on the
    # KeyboardInterrupt by SIGINT, not by an abort.
    (RUN_IN_THREAD.format(daemon=True), -signal.SIGINT, "", ["KeyboardInterrupt"]),
    # Ctrl-C interrupts join(); the interpreter exits once the run is over.
    (RUN_IN_THREAD.format(daemon=False), -signal.SIGINT, "", ["KeyboardInterrupt"]),
    (CALL_IN_A_LOOP.format(call=f"vesk.load_contract({MODEL!r}, check=False)"), 0, "", []),
    (CALL_IN_A_LOOP.format(call=f"vesk.check({MODEL!r}, {instructions('fail')!r}, {BINDINGS!r})"),
     0, "", []),
    (CALL_IN_A_LOOP.format(call="result.to_csv(os.devnull, row_map_path=os.devnull)"), 0, "", []),
], ids=["ctrl-c", "daemon", "interrupted-join", "load_contract", "check", "to_csv"])
def test_ctrl_c_and_calls_in_threads_end_cleanly(tmp_path, body, status, stdout, last_lines):
    script = tmp_path / "exit.py"
    script.write_text(textwrap.dedent(f"""
        import os, signal, threading, time
        import vesk
        contract = vesk.load_contract({MODEL!r})
        result = vesk.run(contract, 20)
    """) + body)
    done = subprocess.run([sys.executable, script], capture_output=True, text=True, timeout=120,
                          check=False)
    assert (done.returncode, done.stdout, done.stderr.splitlines()[-1:]) == \
        (status, stdout, last_lines)


@pytest.mark.parametrize("call, message", [
    (lambda c: vesk.run(c, 20, h=10, record=[160]),
     "run: the step h = 10 ms is longer than half of tau_I = 1.25 ms; the results may be "
     "inaccurate or unstable: give a smaller h"),
    (lambda c: vesk.run_batch(c, [{}, {"parameters": {"tau_E": 0.1}}], 20, record=[160]),
     "run_batch: scenario 1: the step h = 0.100503 ms is longer than half of tau_E = 0.1 ms; "
     "the results may be inaccurate or unstable: give a smaller h"),
    # Past the largest double on the first step; the kept nodes are the unconnected P1, P0.
    (lambda c: vesk.run(vesk.Contract.from_dict(TWO_NODES), 1, y0=[1e308, 0.0], record=[1, 0],
                        record_state="both"),
     "run: the E activity of node 'P0' (row index 0) became -inf at sample 1 (t = 0.111111 ms); "
     "the values from there on mean nothing"),
    (lambda c: vesk.run(c, 180), None),
], ids=["step", "batch-step", "non-finite", "none"])
def test_runs_warn_about_meaningless_numbers(kaldo, call, message):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call(kaldo)
    assert [str(w.message) for w in caught] == ([message] if message else [])
    assert all(w.category is RuntimeWarning and w.filename == __file__ for w in caught)
