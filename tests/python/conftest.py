"""Shared fixtures of the Python package's tests. ctest sets VESK_SIM (the
command line built alongside) and VESK_SOURCE_DIR."""

import os
import subprocess

import pytest

SOURCE = os.environ.get("VESK_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
MODEL = os.path.join(SOURCE, "data", "kaldo_contract.json")
BINDINGS = os.path.join(SOURCE, "examples", "VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt")


def instructions(scenario):
    return os.path.join(SOURCE, "examples", f"QA_3NVN_O_{scenario}.txt")


def cli(*args):
    """Runs the command line; returns (status, stderr)."""
    done = subprocess.run([os.environ["VESK_SIM"], *map(str, args)], capture_output=True,
                          text=True, check=False)
    return done.returncode, done.stderr


@pytest.fixture(scope="session")
def kaldo():
    import vesk
    return vesk.load_contract(MODEL)
