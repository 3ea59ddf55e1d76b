# SPDX-License-Identifier: Apache-2.0
"""Builds the Python package veilcast with the project's CMake build.

setuptools drives it: the extension, the image library stand-in it links
and the operator module it loads are built by CMake and installed (the
python_wheel component) into the package, which then holds all it needs.
The version is the tool's, read from the top-level CMakeLists.txt.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(\s*ZAVVeilcast\s+VERSION\s+([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    """Builds only what the package holds, in a build folder of its own."""

    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DPython3_EXECUTABLE=" + sys.executable, "-DVEILCAST_PYTHON=ON",
                     "-DVEILCAST_BUILD_TESTS=OFF", "-DVEILCAST_BUILD_BENCHMARKS=OFF",
                     "-DVEILCAST_BUILD_EXAMPLES=OFF", "--log-level=WARNING"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "_veilcast", "ZAVVeilcast"], check=True)
        # Installed over the folder setuptools packs: the extension's own
        # path and everything beside it.
        prefix = Path(self.get_ext_fullpath(ext.name)).resolve().parent.parent
        subprocess.run(["cmake", "--install", str(build), "--component", "python_wheel", "--prefix", str(prefix)],
                       check=True)


setup(
    name="veilcast",
    version=project_version(),
    description="The ZAVVeilcast screen keyer: pulls a matte from green or blue screen footage",
    license="Apache-2.0",
    python_requires=">=3.9",
    install_requires=["numpy"],
    packages=["veilcast"],
    package_dir={"veilcast": "python/veilcast"},
    package_data={"veilcast": ["*.pyi", "py.typed"]},
    ext_modules=[Extension("veilcast._veilcast", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
