"""Every code block of README.md and docs/*.md, run as pasted against the
shipped files, in a copy of the checkout's data/, examples/ and tools/ with
the programs on PATH under their installed names:

- console: each "$ " command (with its "\\" lines) runs in bash; the lines
  after it are its standard output and error, compared exactly;
- pycon: a Python session (doctest), one per page, blocks in order;
- sh: a bash script that must succeed;
- text, json, csv: file contents and output, not run.

A sh block with a line "# not run by the tests: <why>" first (after a "#!"
line) is shown only: it builds, installs system packages or needs a cluster.
The example scripts the pages point to run too, on small settings."""

import glob
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import SOURCE

PAGES = ["README.md"] + sorted(os.path.relpath(p, SOURCE)
                               for p in glob.glob(os.path.join(SOURCE, "docs", "*.md")))
NOT_RUN = "# not run by the tests:"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)
SHOWN = {"text", "json", "csv"}
# The installed programs, from the build tree and the sandbox's src/app/.
INSTALLED = {"vesk-sim": "build/vesk-sim", "vesk-check": "build/vesk-check",
             "vesk-sweep": "src/app/sweep", "vesk-plot-traces": "src/app/plot_traces.py",
             "vesk-batch": "src/app/vesk_batch.py"}


def blocks(page):
    with open(os.path.join(SOURCE, page), encoding="utf-8") as f:
        text = f.read()
    # Code shown without a fence would escape the test.
    unfenced = re.findall(r"\n\n( {4}\S.*)", FENCE.sub("", text))
    assert unfenced == [], f"{page}: fence these blocks"
    return [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 1)
            for m in FENCE.finditer(text)]


@pytest.fixture(scope="module")
def sandbox(tmp_path_factory):
    """A folder like share/vesk-sim/ with src/app/ and build/ beside, and the
    outputs of `make demo` in out/ for the plot examples."""
    root = tmp_path_factory.mktemp("docs")
    for folder in ("data", "examples", "tools", "src/app"):
        shutil.copytree(os.path.join(SOURCE, folder), root / folder)
    build = os.environ["VESK_BUILD_DIR"]
    os.symlink(build, root / "build")
    bin_dir = root / "bin"
    bin_dir.mkdir()
    for name, target in INSTALLED.items():
        os.symlink(os.path.realpath(root / target), bin_dir / name)
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}",
               PYTHONPATH=os.path.join(build, "python"), MPLBACKEND="Agg")
    for scenario in ("success", "fail"):
        (root / "out" / scenario).mkdir(parents=True)
        subprocess.run(["vesk-sim", "--model", "data/kaldo_contract.json", "--t-end", "180",
                        "--instructions", f"examples/QA_3NVN_O_{scenario}.txt", "--bindings",
                        "examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt",
                        "--output", f"out/{scenario}/nodes.csv",
                        "--output-inputs", f"out/{scenario}/inputs.csv",
                        "--output-row-map", f"out/{scenario}/row_map.csv"],
                       cwd=root, env=env, check=True, capture_output=True)
    return root, env


def console_commands(code):
    """(command, expected output) of each "$ " command of a console block."""
    assert code.startswith("$ "), f"a console block's first line is no command: {code}"
    for part in re.split(r"^\$ ", code, flags=re.M)[1:]:
        lines = part.splitlines(keepends=True)
        ends = next(i for i, line in enumerate(lines, 1) if not line.endswith("\\\n"))
        yield "".join(lines[:ends]).rstrip("\n"), "".join(lines[ends:])


@pytest.mark.parametrize("page", PAGES)
def test_every_code_block_runs_as_pasted(page, sandbox):
    root, env = sandbox
    session = []
    for language, code, line in blocks(page):
        where = f"{page}:{line}"
        if language in SHOWN:
            continue
        if language == "pycon":
            session.append((code, line))
        elif language == "console":
            for command, expected in console_commands(code):
                done = subprocess.run(["bash", "-c", command + " 2>&1"], cwd=root, env=env,
                                      capture_output=True, text=True, timeout=300, check=False)
                assert done.stdout == expected, f"{where}: {command}"
        elif language == "sh":
            if any(first.startswith(NOT_RUN) for first in code.split("\n")[:2]):
                continue
            done = subprocess.run(["bash", "-e", "-c", code], cwd=root, env=env,
                                  capture_output=True, text=True, timeout=300, check=False)
            assert done.returncode == 0, f"{where}:\n{done.stdout}{done.stderr}"
        else:
            pytest.fail(f"{where}: a block in {language or 'no language'}: give console, "
                        "pycon, sh, text, json or csv")
    if session:  # the page's Python session in a fresh interpreter, as pasted
        text = root / f"{page.replace('/', '_')}.session"
        text.write_text("\n".join(f"{page}:{line}\n{code}" for code, line in session))
        done = subprocess.run(["/usr/bin/python3", "-m", "doctest", "-o", "ELLIPSIS",
                               "-o", "NORMALIZE_WHITESPACE", text], cwd=root, env=env,
                              capture_output=True, text=True, timeout=600, check=False)
        assert done.returncode == 0, done.stdout + done.stderr


# The example scripts the pages point to, on small settings.
@pytest.mark.parametrize("script, args, printed", [
    ("demo_from_python.py", [], ""),
    ("explore_kaldo.py", ["--alfa", "0.1", "--theta", "20", "--t-end", "180", "--store", "s"],
     "W2"),
])
def test_examples_draw_their_figures(tmp_path, script, args, printed):
    done = subprocess.run([sys.executable, os.path.join(SOURCE, "examples", script), *args,
                           "--out", "figure.png"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=600, check=False)
    # Nothing on standard error but explore_kaldo's progress.
    errors = [line for line in done.stderr.splitlines() if line and not line.startswith("explore:")]
    assert (done.returncode, errors) == (0, []) and printed in done.stdout
    assert (tmp_path / "figure.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
