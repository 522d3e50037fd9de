"""vesk.run_batch: every scenario of a batch against vesk.run of the same
scenario alone, bit for bit; the scenario's fields and their errors."""

import json
import types

import numpy as np
import pytest

import vesk
from conftest import BINDINGS, MODEL, instructions


def contract_with(parameters):
    """The example model with some network parameters changed, for run()."""
    with open(MODEL) as f:
        data = json.load(f)
    for group in data["network_parameters"].values():
        for name in group:
            if name in parameters:
                group[name] = parameters[name]
    return vesk.Contract.from_dict(data)


# (scenario, the parameters it changes): stimuli, starts and parameters that
# differ from lane to lane, one scenario given as an object.
SCENARIOS = [
    (dict(schedule=instructions("success"), clamps=BINDINGS), {}),
    (dict(schedule=instructions("fail")), {}),
    (dict(y0=0.3), {}),
    (dict(schedule=instructions("success"), clamps=BINDINGS,
          parameters={"theta": 18.5, "tau_E": 3.0, "alfa": 0.2}), {}),
    (types.SimpleNamespace(schedule=instructions("fail"), parameters={"beta": 0.45}), {}),
]


def run_alone(scenario, **options):
    fields = scenario if isinstance(scenario, dict) else vars(scenario)
    changed = fields.get("parameters", {})
    contract = contract_with(changed) if changed else vesk.load_contract(MODEL)
    return vesk.run(contract, 12, schedule=fields.get("schedule"), clamps=fields.get("clamps"),
                    y0=fields.get("y0"), **options)


@pytest.mark.parametrize("count, options", [
    (5, dict(record="pop_id=W[0-3]", every=7, inputs=True)),
    (2, dict()),
    (1, dict(record=[160, 161], every=3)),
], ids=["five", "two-all-nodes", "one"])
def test_each_scenario_equals_its_run_alone(kaldo, count, options):
    scenarios = [s for s, _ in SCENARIOS[:count]]
    results = vesk.run_batch(kaldo, scenarios, 12, **options)
    assert len(results) == count
    for scenario, result in zip(scenarios, results):
        alone = run_alone(scenario, **options)
        assert np.array_equal(result.time, alone.time)
        assert result.nodes.tobytes() == alone.nodes.tobytes()
        assert result.columns.tolist() == alone.columns.tolist()
        if options.get("inputs"):
            assert result.inputs.tobytes() == alone.inputs.tobytes()
        else:
            assert result.inputs is None
        for key in ("schedule", "network_parameters"):
            assert result.parameters[key] == alone.parameters[key]


def test_drive_and_both_states_equal_the_runs_alone(kaldo):
    name = kaldo.input_names[3]
    ramp = {name: np.linspace(0.0, 90.0, 120)}
    scenarios = [{"drive": ramp, "y0": [np.full(kaldo.n_nodes, 0.2), np.zeros(kaldo.n_nodes)]},
                 {"schedule": instructions("fail"), "parameters": {"delta": 0.3}}]
    results = vesk.run_batch(kaldo, scenarios, 12, record_state="both", every=5)
    alone = [vesk.run(kaldo, 12, drive=ramp, y0=scenarios[0]["y0"], record_state="both", every=5),
             vesk.run(contract_with({"delta": 0.3}), 12, schedule=instructions("fail"),
                      record_state="both", every=5)]
    for result, expected in zip(results, alone):
        assert result.nodes.shape == expected.nodes.shape
        assert result.nodes.tobytes() == expected.nodes.tobytes()
        assert result.parameters["drive"] == expected.parameters["drive"]


GIVE_A_DICT = ("give a dict of schedule, clamps, drive, y0, parameters (such as "
               "{'schedule': ...}, or {} for none), got ")


@pytest.mark.parametrize("scenarios, error, message", [
    ([{"parameters": {"tau": 1}}], ValueError,
     "scenario 0: no network parameter 'tau' (parameters: alfa, epsilon, gamma, delta, tau_E, "
     "tau_I, theta, beta, f_max)"),
    ([{}, {"bindings": BINDINGS}], ValueError,
     "scenario 1: unknown field 'bindings' (fields: schedule, clamps, drive, y0, parameters)"),
    ([], ValueError, "scenarios: give at least one scenario"),
    ({"y0": 1}, TypeError, "scenarios: give a list of scenarios"),
    ([{"y0": [0.0]}], vesk.RunError, "y0 holds 1 values, the model has {n} nodes"),
    # Never run as scenarios without stimuli.
    (["QA_3NVN_O_success.txt"], TypeError, f"scenario 0: {GIVE_A_DICT}'QA_3NVN_O_success.txt'"),
    ([{}, vesk.Schedule()], TypeError,
     f"scenario 1: {GIVE_A_DICT}<vesk.Schedule: 0 windows on 0 inputs>"),
    ([None], TypeError, f"scenario 0: {GIVE_A_DICT}None"),
    ([3], TypeError, f"scenario 0: {GIVE_A_DICT}3"),
    (3, TypeError, "scenarios: give a list of scenarios, got int"),
], ids=["parameter", "field", "empty", "dict", "y0", "path", "Schedule", "None", "int",
        "not-a-list"])
def test_scenario_errors(kaldo, scenarios, error, message):
    with pytest.raises(error) as raised:
        vesk.run_batch(kaldo, scenarios, 1)
    assert str(raised.value) == message.replace("{n}", str(kaldo.n_nodes))


def test_a_batch_too_large_is_refused_before_it_runs(kaldo):
    # Each scenario's 3.8 GiB of samples would fit, a thousand of them do not
    # (on any machine with 4 GiB to 3.8 TiB free).
    with pytest.raises(vesk.RunError) as raised:
        vesk.run_batch(kaldo, [{}] * 1000, n_steps=200_000)
    message = str(raised.value)
    prefix = "run_batch: the batch and its kept samples need "
    assert message.startswith(prefix)
    assert float(message[len(prefix):].split()[0]) > 1000 * 3.8
