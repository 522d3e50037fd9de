"""Ctrl-C during a long run, and the example script."""

import os
import textwrap

from conftest import MODEL, SOURCE, python


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
    done = python(script, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted 10\n", "")


def test_example_script_draws_the_demo_figure(tmp_path):
    out = tmp_path / "demo.png"
    done = python(os.path.join(SOURCE, "examples", "demo_from_python.py"), "--out", out)
    assert (done.returncode, done.stderr) == (0, "")
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
