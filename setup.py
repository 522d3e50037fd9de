"""Builds the package vesk for pip: the compiled part vesk._core with the
project's CMake build (target vesk_python), the rest from python/vesk.

CMake, a C++20 compiler and the Debian packages of `make deps` must be
installed. VESK_CMAKE_BUILD_DIR names a CMake build folder to build in
(configured there if it is not yet); by default a fresh one under build-pip/,
or under a temporary folder when the source tree is read-only.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(vesk-sim VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    """Builds the extension with CMake instead of setuptools' compiler calls."""

    def build_extension(self, ext):
        build_dir = Path(os.environ.get("VESK_CMAKE_BUILD_DIR") or
                         Path(self.build_temp).resolve() / "cmake")
        if not (build_dir / "CMakeCache.txt").exists():
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            # The module must be built for the Python that installs it (a
            # virtual environment's, say), not for Debian's python3.
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), *generator,
                            "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVESK_BUILD_TESTS=OFF",
                            f"-DVESK_PYTHON3={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "vesk_python",
                        "-j", str(os.cpu_count() or 1)], check=True)
        built = sorted((build_dir / "python" / "vesk").glob("_core*.so"))
        if len(built) != 1:
            raise RuntimeError(f"expected one vesk/_core*.so in {build_dir}/python, found {built}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


def build_base():
    """Where setuptools works: build-pip/ beside build/ (the CMake build
    folder of `make`), or a temporary folder when the source tree is
    read-only (an installed copy, a read-only mount)."""
    try:
        (ROOT / "build-pip").mkdir(exist_ok=True)
        with tempfile.TemporaryFile(dir=ROOT / "build-pip"):
            pass
        return str(ROOT / "build-pip")
    except OSError:
        return tempfile.mkdtemp(prefix="vesk-build-pip-")


BUILD_BASE = build_base()
setup(
    version=project_version(),
    packages=["vesk"],
    package_dir={"": "python"},
    package_data={"vesk": ["py.typed"]},
    ext_modules=[Extension("vesk._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
)
