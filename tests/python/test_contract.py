"""Contracts as a modeller changes and checks them: with_parameters against
a contract loaded with the same values, vesk.check against vesk-check, and
the warnings of the loaders."""

import copy
import importlib.util
import json
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import vesk
from conftest import BINDINGS, MODEL, SOURCE, instructions

# Two nodes, inputs for Noun and word 0, one edge of each kind.
NODE = dict(tau=1, pop_id="p", pop_typ="E", con_typ="c", circ_id="c", h_row="h", d_row="d",
            mat_id="m")
SMALL = {
    "counts": {"n_nodes": 2, "n_inputs": 2},
    "network_parameters": {"sigmoid": {"theta": 0, "beta": 1, "f_max": 1}},
    "nodes": [dict(node_id=0, **NODE), dict(node_id=1, **NODE)],
    "inputs": [{"input_id": 0, "input_name": "EX2_Bgate_W_N"},
               {"input_id": 1, "input_name": "EX1_input_W0"}],
    "edges": [{"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": 1},
              {"source_kind": "input", "source_id": 1, "target_node_id": 0, "weight_final": 1}],
}


@pytest.fixture(scope="module")
def kaldo_dict():
    with open(MODEL) as f:
        return json.load(f)


@pytest.mark.parametrize("values", [
    {"alfa": 1.5},
    {"theta": 0.2, "beta": 3.0, "f_max": 0.8},
    {"epsilon": 0.7, "gamma": 1.1, "delta": 0.25, "tau_E": 3.0, "tau_I": 0.9},
])
def test_with_parameters_runs_as_the_edited_contract(kaldo, kaldo_dict, values):
    edited = copy.deepcopy(kaldo_dict)
    params = edited["network_parameters"]
    for name, value in values.items():
        (params["sigmoid"] if name in ("theta", "beta", "f_max")
         else params.setdefault("wc_coupling", {}))[name] = value
    changed = kaldo.with_parameters(**values)
    loaded = vesk.Contract.from_dict(edited)
    assert changed.parameters == loaded.parameters != kaldo.parameters
    run = dict(schedule=instructions("success"), clamps=BINDINGS, every=3, inputs=True)
    mine, theirs = vesk.run(changed, 8, **run), vesk.run(loaded, 8, **run)
    assert mine.nodes.tobytes() == theirs.nodes.tobytes()
    assert not np.array_equal(mine.nodes, vesk.run(kaldo, 8, **run).nodes)
    assert mine.parameters["network_parameters"] == loaded.parameters
    assert mine.parameters["vesk_version"] == vesk.__version__


def test_with_parameters_shares_the_network_and_leaves_the_original(kaldo):
    before = vesk.run(kaldo, 3, record=[160, 697])
    changed = kaldo.with_parameters(alfa=2.0).with_parameters(theta=0.5)
    assert changed._network is kaldo._network
    assert changed.nodes is kaldo.nodes and changed.row_map is kaldo.row_map
    assert (changed.parameters["alfa"], changed.parameters["theta"]) == (2.0, 0.5)
    assert kaldo.parameters == kaldo._network.parameters()
    assert vesk.run(kaldo, 3, record=[160, 697]).nodes.tobytes() == before.nodes.tobytes()
    assert repr(changed) == f"<vesk.Contract {MODEL} (theta=0.5, alfa=2.0): 2553 nodes, 159 inputs>"
    # Back to the file's values: the very same run.
    same = changed.with_parameters(**kaldo.parameters)
    assert vesk.run(same, 3, record=[160, 697]).nodes.tobytes() == before.nodes.tobytes()


@pytest.mark.parametrize("values, error, message", [
    ({"alpha": 1}, TypeError, "with_parameters: no parameter 'alpha' (did you mean 'alfa'?); the "
     "parameters are theta, beta, f_max, alfa, epsilon, gamma, delta, tau_E, tau_I"),
    ({"tauE": 1}, TypeError, "with_parameters: no parameter 'tauE' (did you mean 'tau_E'?); the "
     "parameters are theta, beta, f_max, alfa, epsilon, gamma, delta, tau_E, tau_I"),
    ({"weights": 1}, TypeError, "with_parameters: no parameter 'weights'; the parameters are "
     "theta, beta, f_max, alfa, epsilon, gamma, delta, tau_E, tau_I"),
    ({"beta": True}, TypeError, "with_parameters: beta must be a number, got True"),
    ({"beta": "2"}, TypeError, "with_parameters: beta must be a number, got '2'"),
    ({"tau_I": float("nan")}, ValueError, "with_parameters: tau_I must be finite, got nan"),
    ({"tau_E": 0}, ValueError, "with_parameters: tau_E must be a positive number of ms, got 0.0"),
], ids=["alpha", "tauE", "unknown", "bool", "text", "nan", "tau-zero"])
def test_with_parameters_refuses(kaldo, values, error, message):
    with pytest.raises(error) as raised:
        kaldo.with_parameters(**values)
    assert str(raised.value) == message


def test_weights_and_records_read_back_as_the_file_gives_them(kaldo, kaldo_dict):
    n, m = kaldo.n_nodes, kaldo.n_inputs
    expected = {"node": np.zeros((n, n)), "input": np.zeros((n, m))}
    for edge in kaldo_dict["edges"]:
        expected[edge["source_kind"]][edge["target_node_id"], edge["source_id"]] += \
            edge["weight_final"]
    for matrix, kind in ((kaldo.weights, "node"), (kaldo.input_weights, "input")):
        assert matrix.format == "csr" and np.array_equal(matrix.toarray(), expected[kind])
    nodes = kaldo.nodes.to_pandas()
    assert nodes.columns.tolist() == list(vesk.NodeRecord._fields)
    assert nodes.iloc[1].tolist() == list(kaldo.nodes[1])
    assert kaldo.inputs.to_pandas().pop_id.tolist() == [i.get("pop_id", i["input_name"])
                                                        for i in kaldo_dict["inputs"]]


def vesk_check_lines(folder, *args):
    """vesk-check's finding lines, without its summary."""
    done = subprocess.run([os.environ["VESK_CHECK"], "--all", *args], cwd=folder,
                          capture_output=True, text=True, check=False)
    return [line for line in done.stdout.splitlines() if not line.startswith("vesk-")]


def edited(change):
    contract = copy.deepcopy(SMALL)
    change(contract)
    return contract


# (what is wrong, the contract, the instruction file, the bindings file,
# t_end, how many errors): one row per sort of finding the package passes on.
CHECKS = [
    ("clean", SMALL, "fixed_time 20\nNum_of_words 1\nWord 0 0\nNoun 5\n", "0\n1 x\n", 10, 0),
    ("repeated node_id, id gap, unknown and misplaced keys",
     edited(lambda c: (c["counts"].update(n_nodes=4), c["nodes"].append(dict(node_id=1, **NODE)),
                       c["network_parameters"].update(wc_coupling={"alpha": 1}, tau_I=1),
                       c["nodes"][0].update(labl=1))), None, None, None, 0),
    ("type errors", edited(lambda c: c["nodes"][1].update(is_excitatory=1, circ_id=None)),
     None, None, None, 2),
    ("windows after t_end and bad bindings", SMALL,
     "fixed_time 200\nNum_of_words 1\nWord 100 0\nVerb 0\n", "7\n-1\nW2\n", 5, 2),
]


@pytest.mark.parametrize("contract, schedule, bindings, t_end, errors",
                         [c[1:] for c in CHECKS], ids=[c[0] for c in CHECKS])
def test_check_finds_what_vesk_check_finds(tmp_path, monkeypatch, contract, schedule, bindings,
                                           t_end, errors):
    (tmp_path / "m.json").write_text(json.dumps(contract))
    args, given = ["--model", "m.json"], {}
    for option, key, name, text in [("--instructions", "schedule", "i.txt", schedule),
                                    ("--bindings", "clamps", "b.txt", bindings)]:
        if text is not None:
            (tmp_path / name).write_text(text)
            args += [option, name]
            given[key] = name
    if t_end is not None:
        args += ["--t-end", str(t_end)]
    expected = vesk_check_lines(tmp_path, *args)

    monkeypatch.chdir(tmp_path)
    findings = vesk.check("m.json", t_end=t_end, limit=None, **given)
    assert [str(f) for f in findings] == expected
    assert findings.errors == errors and findings.warnings == len(expected) - errors
    assert (findings.stop is None) == (errors == 0)
    # As a dict, a Contract and stimuli read from the files: the same, with
    # the model named as the package names it.
    as_dict = [str(f).replace("<dict>", "m.json")
               for f in vesk.check(contract, t_end=t_end, limit=None, **given)]
    assert as_dict == expected
    if errors == 0:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vesk.ContractWarning)
            loaded = vesk.load_contract("m.json")
        stimuli = {"schedule": vesk.Schedule.from_file("i.txt")} if schedule else {}
        stimuli.update({"clamps": vesk.Clamps.from_file("b.txt")} if bindings else {})
        assert vesk.check(loaded, t_end=t_end, limit=None, **stimuli) == findings
        # The file is found again from another working directory.
        monkeypatch.chdir(os.sep)
        assert vesk.check(loaded, limit=None) == [f for f in findings if f.place[0] == "m"]


@pytest.mark.parametrize("text, count", [
    (json.dumps(edited(lambda c: (c["counts"].update(n_nodes=3), c["nodes"][0].update(labl=1)))),
     2),
    (json.dumps(SMALL) + '\n {"counts":', 1),
], ids=["findings", "text-after"])
def test_loaders_warn_about_what_vesk_check_warns_about(tmp_path, text, count):
    path = tmp_path / "m.json"
    path.write_text(text)
    expected = [line.replace(": warning:", ":") for line in vesk_check_lines(tmp_path, "--model",
                                                                             str(path))]
    assert len(expected) == count
    loads = {str(path): lambda: vesk.load_contract(path),
             "<string>": lambda: vesk.Contract.from_json(text)}
    if count == 2:  # a dict has no text after it
        loads["<dict>"] = lambda: vesk.Contract.from_dict(json.loads(text))
    for name, load in loads.items():
        with pytest.warns(vesk.ContractWarning) as caught:
            load()
        assert [str(w.message) for w in caught] == [e.replace(str(path), name) for e in expected]
        # The warning points at the caller's line.
        assert {w.filename for w in caught} == {__file__}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        vesk.load_contract(path, check=False)
        vesk.Contract.from_dict(SMALL)


def test_check_keeps_twenty_of_a_sort_and_counts_the_rest():
    many = edited(lambda c: c["nodes"].extend(dict(node_id=1, x=1, **NODE) for _ in range(30)))
    findings = vesk.check(many)
    kinds = [f.message.split(" ")[0] for f in findings]
    assert len(findings) == 40 and findings.left_out == {"unknown key": 10, "repeated id": 10}
    assert (findings.errors, findings.warnings) == (0, 60) and kinds.count("unknown") == 20
    assert len(vesk.check(many, limit=None)) == 60 == len(vesk.check(many, limit=2**70))


@pytest.mark.parametrize("call, error, message", [
    (lambda: vesk.check(SMALL, schedule=vesk.Schedule().add_window("x", 0, 1)), TypeError,
     "check: a Schedule built in code cannot be checked; give the path of its file, or run it "
     "(the run checks it against the model)"),
    (lambda: vesk.check("m.json\0x"), ValueError,
     "check: embedded null character in path 'm.json\\x00x'"),
    (lambda: vesk.check(SMALL, t_end=0), ValueError, "check: t_end must be > 0 ms, got 0.0"),
    (lambda: vesk.check(SMALL, t_end=float("inf")), ValueError,
     "check: t_end must be finite, got inf"),
    (lambda: vesk.Contract.from_json(5), TypeError,
     "from_json: give the JSON text as str or bytes, got int"),
    # Text is read as vesk-check reads --t-end.
    (lambda: vesk.check(SMALL, t_end="ms"), vesk.RunError,
     "--t-end needs a number of milliseconds within the range of a double, got 'ms'"),
    (lambda: vesk.check(SMALL, t_end=[5]), TypeError, "check: t_end must be a number of ms, got [5]"),
    (lambda: vesk.check(SMALL, limit=1.5), TypeError,
     "check: limit must be a whole number or None, got 1.5"),
    (lambda: vesk.check(SMALL, limit=0), ValueError,
     "check: limit must be at least 1 or None, got 0"),
], ids=["schedule in code", "nul", "t_end", "t_end-inf", "from_json", "t_end-text", "t_end-list",
        "limit-float", "limit-0"])
def test_check_refuses(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


def test_check_reports_a_contract_that_does_not_load():
    findings = vesk.check({"counts": {"n_nodes": -1, "n_inputs": 0}})
    assert findings.stop == "Invalid model sizes: n_nodes/n_inputs must be non-negative"
    assert findings[0] == vesk.Finding("error", "<dict>: counts.n_nodes", findings.stop)


@pytest.mark.skipif(importlib.util.find_spec("pandas") is None,
                    reason="the example needs pandas (python3-pandas)")
def test_example_sweep_over_alfa(tmp_path):
    out, table = tmp_path / "sweep.png", tmp_path / "sweep.csv"
    done = subprocess.run([sys.executable, f"{SOURCE}/examples/sweep_alfa.py", "--t-end", "20",
                           "--alfa", "0.1", "0.5", "--out", out, "--table", table],
                          capture_output=True, text=True, timeout=600, check=False)
    assert (done.returncode, done.stderr) == (0, "")
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    lines = table.read_text().splitlines()
    assert lines[0] == "alfa,population,peak,peak_ms,late_mean" and len(lines) == 1 + 2 * 4
    # The row at the model's own alfa is the plain run's.
    plain = vesk.run(vesk.load_contract(MODEL), 20, schedule=instructions("success"),
                     clamps=BINDINGS, record="pop_id=W0")
    assert lines[1].startswith(f"0.1,W0,{plain.nodes.max()!r},")


# Bytes that are not UTF-8, in a file or in its name: messages carry them as
# \xNN, file names of any bytes load, and vesk.check reports instead of
# raising. (call on the folder's files, what it gives)
NAME, CSV_NAME = os.fsdecode(b"\xe9.json"), os.fsdecode(b"\xe8.csv")
BAD_JSON = (r"JSON parse error in {d}/bad.json: [json.exception.parse_error.101] parse error at "
            r"line 1, column 669: syntax error while parsing object - invalid literal; last "
            r"read: '1}}]\xff'; expected '}}'")
NOT_UTF8 = [
    (lambda d: vesk.Schedule.from_file(d / "i.txt"),
     r"ScheduleError: {d}/i.txt:4: unknown command 'Noun\xe9'"),
    (lambda d: vesk.run(MODEL, 1, schedule=d / "i.txt"),
     r"ScheduleError: {d}/i.txt:4: unknown command 'Noun\xe9'"),
    (lambda d: vesk.check(SMALL, d / "i.txt")[0].message, r"unknown command 'Noun\xe9'"),
    (lambda d: vesk.load_contract(d / "bad.json"), "ContractError: " + BAD_JSON),
    (lambda d: vesk.Contract.from_json((d / "bad.json").read_bytes()),
     "ContractError: " + BAD_JSON.replace("{d}/bad.json", "<string>")),
    (lambda d: vesk.check(d / "bad.json").stop, BAD_JSON),
    (lambda d: vesk.load_contract(d / NAME).n_nodes, "2"),
    (lambda d: vesk.load_contract(os.fsencode(d / NAME)).n_nodes, "2"),
    (lambda d: len(vesk.check(os.fsencode(d / NAME))), "0"),
    (lambda d: vesk.load_contract(d / NAME).write_row_map(d / CSV_NAME) or
     (d / CSV_NAME).read_text().startswith("row_index,"), "True"),
    (lambda d: vesk.load_contract(d / os.fsdecode(b"\xff.json")),
     r"ContractError: Failed to open model file: {d}/\xff.json"),
]


@pytest.mark.parametrize("call, outcome", NOT_UTF8)
def test_bytes_that_are_not_utf8(tmp_path, call, outcome):
    (tmp_path / "i.txt").write_bytes(b"fixed_time 20\nNum_of_words 1\nWord 0 0\nNoun\xe9 5\n")
    (tmp_path / "bad.json").write_bytes(json.dumps(SMALL).encode()[:-1] + b"\xff}")
    (tmp_path / NAME).write_text(json.dumps(SMALL))
    try:
        got = str(call(tmp_path))
    except (ValueError, OSError) as e:
        got = f"{type(e).__name__}: {e}"
    assert got == outcome.format(d=tmp_path)


def kaldo_as_arrays(kaldo):
    nodes = kaldo.nodes.to_pandas()
    return dict(weights=kaldo.weights, input_weights=kaldo.input_weights.toarray(),
                is_excitatory=nodes.is_excitatory, input_names=kaldo.input_names,
                parameters=kaldo.parameters, tau=nodes.tau,
                nodes=nodes.drop(columns=["node_id", "tau", "is_excitatory"]),
                inputs=kaldo.inputs.to_pandas().drop(columns=["pop_typ"]))


def test_from_arrays_runs_as_the_file_it_came_from(kaldo, tmp_path):
    built = vesk.Contract.from_arrays(**kaldo_as_arrays(kaldo))
    built.to_json(tmp_path / "built.json")
    outputs = []
    for model in (MODEL, tmp_path / "built.json"):
        out = tmp_path / os.path.basename(model)
        done = subprocess.run([os.environ["VESK_SIM"], "--model", model, "--t-end", "30",
                               "--instructions", instructions("success"), "--bindings", BINDINGS,
                               "--output", f"{out}.nodes", "--output-row-map", f"{out}.map"],
                              capture_output=True, check=False)
        outputs.append((done.returncode, done.stderr, open(f"{out}.nodes", "rb").read(),
                        open(f"{out}.map", "rb").read()))
    assert outputs[0] == outputs[1]
    assert np.array_equal(vesk.run(built, 5).nodes, vesk.run(kaldo, 5).nodes)


@pytest.mark.parametrize("change, error, message", [
    (dict(weights=np.zeros((2, 3))), ValueError,
     "weights: give n x n (target x source), got shape (2, 3)"),
    (dict(is_excitatory=[True]), ValueError,
     "is_excitatory: give 2 values, one per entry, got shape (1,)"),
    (dict(parameters={"alpha": 1}), TypeError, "parameters: no parameter 'alpha' (did you mean "
     "'alfa'?)"),
    (dict(weights=[[0, np.nan], [0, 0]]), vesk.ContractError,
     "contract value 'weight_final' is nan, which JSON cannot hold"),
    (dict(input_weights=[[1j], [0]]), TypeError,
     "input_weights: give real weights, got complex values"),
    # Checked as a loaded file is, at the place in its text.
    (dict(nodes={"row_index": [3, 3]}), vesk.ContractWarning,
     "<arrays>: nodes[1].row_index: row_index 3 of node_id 1 is also the row_index of node_id "
     "0: two output columns are named 3, and a binding of 3 clamps only node_id 1"),
], ids=["shape", "flags", "parameter", "nan", "complex", "row-index"])
def test_from_arrays_refuses_and_warns_as_the_loader_does(change, error, message):
    arrays = dict(weights=[[0, 1.5], [0, 0]], is_excitatory=[True, False],
                  input_weights=[[1.0], [0.0]], input_names=["EX1_input_W0"])
    check = pytest.warns if error is vesk.ContractWarning else pytest.raises
    with check(error) as raised:
        vesk.Contract.from_arrays(**{**arrays, **change})
    shown = raised[0].message if error is vesk.ContractWarning else raised.value
    assert str(shown) == message


def test_to_json_writes_changed_constants_and_never_loses_what_it_writes_over(kaldo, tmp_path):
    # (A written contract runs as its original: from_arrays' test above.)
    changed = kaldo.with_parameters(alfa=1.5, tau_I=0.9)
    changed.to_json(tmp_path / "changed.json")
    assert (tmp_path / "changed.json").read_text() == changed.to_json_text()
    assert vesk.load_contract(tmp_path / "changed.json").parameters == changed.parameters
    # A contract written over its own file stays loadable, and a failed write
    # removes neither the target nor a device (as root, removing /dev/full
    # deleted the device node).
    own = tmp_path / "own.json"
    own.write_bytes(open(MODEL, "rb").read())
    loaded = vesk.load_contract(own)
    loaded.to_json(own)
    assert vesk.load_contract(own).parameters == loaded.parameters
    assert sorted(tmp_path.iterdir()) == [tmp_path / "changed.json", own]
    with pytest.raises(OSError, match="Failed to write contract file: /dev/full"):
        kaldo.to_json("/dev/full")
    assert os.path.exists("/dev/full")
