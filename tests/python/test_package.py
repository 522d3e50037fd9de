"""The package as installed and read: pip install from a checkout, the
version, type hints and docstrings."""

import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import vesk
from conftest import MODEL, SOURCE


def test_version_is_the_command_line_version():
    done = subprocess.run([os.environ["VESK_SIM"], "--version"], capture_output=True, text=True,
                          check=True)
    assert done.stdout == f"vesk-sim {vesk.__version__}\n"


def public_calls():
    for name in vesk.__all__:
        thing = getattr(vesk, name)
        if inspect.isclass(thing) and issubclass(thing, BaseException):
            continue
        yield name, thing
        if inspect.isclass(thing):
            for member, value in vars(thing).items():
                if not member.startswith("_") and (callable(value) or
                                                   isinstance(value, (property, classmethod))):
                    yield f"{name}.{member}", getattr(thing, member)


def test_every_public_call_has_a_docstring_and_hints():
    assert os.path.exists(os.path.join(os.path.dirname(vesk.__file__), "py.typed"))
    missing = [name for name, thing in public_calls() if name != "__version__" and
               not (inspect.getdoc(thing) or "").strip()]
    assert missing == []
    unhinted = []
    for name, thing in public_calls():
        function = thing.fget if isinstance(thing, property) else thing
        if not (inspect.isfunction(function) or inspect.ismethod(function)):
            continue
        signature = inspect.signature(function)
        if signature.return_annotation is inspect.Signature.empty or any(
                p.annotation is inspect.Parameter.empty for p in signature.parameters.values()
                if p.name not in ("self", "cls")):
            unhinted.append(name)
    assert unhinted == []


@pytest.mark.skipif(any(importlib.util.find_spec(m) is None
                        for m in ("setuptools", "wheel", "ensurepip")),
                    reason="pip install needs python3-setuptools, python3-wheel and python3-venv")
def test_pip_install_from_a_checkout_without_network(tmp_path):
    # A copy of the checkout, mounted read-only where this machine lets a
    # process have mounts of its own: pip then builds out of the tree. The
    # compiled part comes from the build this test belongs to
    # (VESK_CMAKE_BUILD_DIR), so that the test costs no second build of the
    # core library.
    checkout = tmp_path / "checkout"
    shutil.copytree(SOURCE, checkout, ignore=shutil.ignore_patterns(
        ".git", "build*", "out", "__pycache__", "*.egg-info"))
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", env_dir], check=True)
    python = env_dir / "bin" / "python"
    env = dict(os.environ, VESK_CMAKE_BUILD_DIR=os.environ["VESK_BUILD_DIR"],
               PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYTHONPATH", None)
    pip = [str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index", "."]
    read_only = ["unshare", "--mount", "sh", "-c",
                 'mount --bind -o ro "$PWD" "$PWD" && cd "$PWD" && exec "$@"', "sh"]
    if subprocess.run([*read_only, "true"], cwd=checkout, capture_output=True).returncode == 0:
        pip = read_only + pip
    done = subprocess.run(pip, cwd=checkout, env=env, capture_output=True, text=True,
                          timeout=800, check=False)
    assert done.returncode == 0, done.stdout + done.stderr

    script = textwrap.dedent(f"""
        import os, vesk
        result = vesk.run({MODEL!r}, 1, h=0.1, record=[160, 697])
        print(vesk.__version__, result.nodes.tobytes().hex())
        print(os.path.dirname(vesk.__file__))
        print(os.path.exists(os.path.join(os.path.dirname(vesk.__file__), "py.typed")))
    """)
    done = subprocess.run([python, "-c", script], cwd=tmp_path, env=env, capture_output=True,
                          text=True, check=False)
    assert done.stderr == ""
    version, where, typed = done.stdout.splitlines()
    here = vesk.run(MODEL, 1, h=0.1, record=[160, 697])
    assert version == f"{vesk.__version__} {here.nodes.tobytes().hex()}"
    assert where.startswith(str(env_dir)) and typed == "True"
