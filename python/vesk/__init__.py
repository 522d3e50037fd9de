"""vesk: the vesk-sim simulator from Python.

    import vesk
    contract = vesk.load_contract("data/kaldo_contract.json")
    result = vesk.run(contract, 180, schedule="examples/QA_3NVN_O_success.txt",
                      clamps="examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt",
                      record="pop_id=W[0-3]", every=10)
    result.time, result.nodes, result.columns

The values are those of the command line, bit for bit: formatted with "%g"
they give its CSV fields.
"""

from ._core import ClampError, ContractError, RunError, ScheduleError, __version__
from .checking import ContractWarning, Finding, Findings, check
from .contract import Contract, InputRecord, NodeRecord, load_contract
from .explore import explore
from .result import Result, load_result
from .simulation import run, run_batch, sample_times
from .stimuli import Clamps, Schedule

__all__ = [
    "ClampError", "Clamps", "Contract", "ContractError", "ContractWarning", "Finding", "Findings",
    "InputRecord", "NodeRecord", "Result", "RunError", "Schedule", "ScheduleError", "check",
    "explore", "load_contract", "load_result", "run", "run_batch", "sample_times", "__version__",
]
