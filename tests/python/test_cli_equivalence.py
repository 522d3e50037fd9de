"""The package against the command line: the same bad inputs give the same
messages, and both refuse the same models as too large. (That runs give the
same files: run_batch against run in test_run_batch.py, and the sweep's
batches against vesk-sim's files in tests/app/sweep_test.sh.)"""

import json
import os
import resource
import subprocess

import pytest

import vesk
from conftest import MODEL, cli


# (what is bad, text of the bad file, command-line arguments naming it as
# FILE, the same through the package, the error it raises): one of each kind
# of file. Faults of the arguments themselves are worded for Python
# (tests/python/test_run.py).
BAD_INPUTS = [
    ("malformed JSON", '{"counts": ', ["--model", "FILE"],
     lambda f, c: vesk.load_contract(f), vesk.ContractError),
    ("instruction target not in the model", "Num_of_words 40\nWord 0 10 39\n",
     ["--instructions", "FILE"], lambda f, c: vesk.run(c, 1, schedule=f), vesk.ScheduleError),
    ("negative binding", "12\n-3\n", ["--bindings", "FILE"],
     lambda f, c: vesk.Clamps.from_file(f), vesk.ClampError),
]


@pytest.mark.parametrize("text, args, call, error", [case[1:] for case in BAD_INPUTS],
                         ids=[case[0] for case in BAD_INPUTS])
def test_errors_carry_the_command_line_message(text, args, call, error, kaldo, tmp_path):
    bad = tmp_path / "bad.txt"
    bad.write_text(text)
    args = [str(bad) if a == "FILE" else a for a in args]
    for option, value in [("--model", MODEL), ("--output", tmp_path / "o.csv"), ("--t-end", 1)]:
        if option not in args:
            args += [option, value]
    status, err = cli(*args)
    assert status == 1 and err.startswith("Error: ")
    with pytest.raises(error) as raised:
        call(str(bad), kaldo)
    assert isinstance(raised.value, ValueError)
    assert str(raised.value) == err[len("Error: "):-1]


@pytest.mark.parametrize("n_nodes, refused", [
    (700_000, False),
    # Passed vesk-check's estimate, then ran out of memory in vesk-sim.
    (1_100_000, True),
    (2_000_000, True),
])
def test_check_and_run_agree_on_what_fits_in_memory(tmp_path, n_nodes, refused):
    # Nodes that no entry names cost their arrays all the same.
    node = dict(node_id=0, tau=1, pop_id="p", pop_typ="E", con_typ="c", circ_id="c", h_row="h",
                d_row="d", mat_id="m")
    model = tmp_path / "m.json"
    model.write_text(json.dumps({
        "counts": {"n_nodes": n_nodes, "n_inputs": 0},
        "network_parameters": {"sigmoid": {"theta": 0, "beta": 1, "f_max": 1}},
        "nodes": [node], "inputs": []}))
    limit = 512 << 20  # an address-space limit, as ulimit -v sets it

    def limited(program, *args):
        return subprocess.run([os.environ[program], "--model", model, *args], capture_output=True,
                              text=True, check=False,
                              preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS,
                                                                    (limit, limit)))

    run = limited("VESK_SIM", "--t-end", "0.2", "--output", os.devnull)
    check = limited("VESK_CHECK")
    message = (f"Error: Model too large for this machine: n_nodes={n_nodes} and n_inputs=0 need "
               "at least ")
    assert (run.returncode, run.stderr.startswith(message)) == ((1, True) if refused else (0, False))
    assert (f"vesk-sim would stop with: {run.stderr}" in check.stdout) == refused
