# SPDX-License-Identifier: Apache-2.0
# The package as a pipeline installs and uses it: its exceptions, Settings
# sent to other processes, a clean namespace, one exported symbol, types
# true to the module, and the example the README shows.
import copy
import os
import pickle
import re
import subprocess
import sys

import numpy as np
import OpenImageIO as oiio
import pytest

import veilcast

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PLATE = os.path.join(os.environ["VEILCAST_SAMPLES"], "synthetic", "synth_greenscreen_plate.exr")
PACKAGE_PATH = os.path.dirname(os.path.dirname(os.path.abspath(veilcast.__file__)))


@pytest.mark.parametrize("error, builtin", [
    (veilcast.UsageError, ValueError), (veilcast.FileError, OSError), (veilcast.ArgumentTypeError, TypeError)])
def test_each_error_is_a_veilcast_error_and_the_builtin_callers_caught(error, builtin):
    assert issubclass(error, veilcast.Error) and issubclass(error, builtin)


SETTINGS = veilcast.Settings({"Screen Color": (0.1, 0.6, 0.1), "Clip Black": 0.123456789, "Check Alpha": True})


@pytest.mark.parametrize("duplicate", [
    lambda s: pickle.loads(pickle.dumps(s)),
    lambda s: pickle.loads(pickle.dumps(s, protocol=0)),
    copy.copy,
    copy.deepcopy,
], ids=["pickle", "pickle protocol 0", "copy", "deepcopy"])
def test_settings_pickle_and_copy_to_an_equal_independent_object(duplicate):
    twin = duplicate(SETTINGS)
    assert twin == SETTINGS and twin is not SETTINGS
    assert np.float32(twin["Clip Black"]).view(np.uint32) == np.float32(0.123456789).view(np.uint32)
    twin["Clip Black"] = 0.2
    assert twin != SETTINGS and SETTINGS["Clip Black"] != 0.2


def test_settings_compare_by_values_not_the_order_given():
    assert veilcast.Settings({"Clip Black": 0.1, "Check Alpha": True}) == \
        veilcast.Settings({"check alpha": "on", "ClipBlackKnob": "0.1"})
    assert veilcast.Settings({"Clip Black": 0.1}) != veilcast.Settings({"Clip Black": 0.1, "Check Alpha": False})


@pytest.mark.parametrize("use", [
    lambda s: s["Nope"],
    lambda s: s.__delitem__("Clip Black"),
], ids=["read", "delete"])
def test_a_name_the_settings_do_not_hold_is_a_key_error(use):
    # A mapping's own protocol: `except KeyError` and `in` checks must work.
    with pytest.raises(KeyError):
        use(veilcast.Settings({"Check Alpha": True}))


def test_the_namespace_is_the_api():
    public = {name for name in vars(veilcast) if not name.startswith("_")}
    assert public == set(veilcast.__all__)


def test_the_extension_exports_its_init_function_only():
    extension = veilcast._veilcast.__file__
    listed = subprocess.run(["nm", "-D", "--defined-only", extension], capture_output=True, text=True, check=True)
    # Global and weak symbols of every kind; "U" (undefined) is left out by --defined-only.
    exported = {line.split()[-1] for line in listed.stdout.splitlines() if re.match(r"\S+ [A-TV-Z] ", line)}
    assert exported == {"PyInit__veilcast"}


def test_key_tells_its_progress_in_order_up_to_the_whole():
    fractions = []
    veilcast.key(oiio_read(PLATE), {"Screen Color": (0.02, 0.14, 0.03)}, progress=fractions.append)
    assert fractions[-1] == 1.0 and fractions == sorted(set(fractions))


def oiio_read(path):
    image = oiio.ImageInput.open(path)
    try:
        return image.read_image("float")
    finally:
        image.close()


@pytest.mark.parametrize("name, pattern", [("plate.exr", "plate.exr"), ("plate.1001.exr", "plate.%04d.exr"),
                                           ("plate.1001.exr", "plate.####.exr")])
def test_the_pipeline_example_freezes_what_find_finds(tmp_path, name, pattern):
    os.symlink(PLATE, tmp_path / name)
    run = subprocess.run([sys.executable, os.path.join(SOURCE, "examples", "pipeline.py"), pattern, "1001-1100",
                          "shot.keyer"], cwd=tmp_path, capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=PACKAGE_PATH))
    assert run.returncode == 0, run.stderr
    expected = veilcast.find(oiio_read(PLATE)[:, :, :3]).settings
    assert veilcast.Settings.read(tmp_path / "shot.keyer") == expected
    assert "--settings shot.keyer" in run.stdout and pattern in run.stdout


def test_the_stubs_are_true_to_the_module():
    # Every public name, signature of the Python functions, class and
    # base, checked against the imported module.
    allowlist = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stubtest-allowlist.txt")
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "veilcast", "--allowlist", allowlist],
                         capture_output=True, text=True, cwd=PACKAGE_PATH,
                         env=dict(os.environ, PYTHONPATH=PACKAGE_PATH, MYPYPATH=PACKAGE_PATH))
    assert run.returncode == 0, run.stdout + run.stderr


def test_the_package_version_is_the_tools():
    cmake = open(os.path.join(SOURCE, "CMakeLists.txt")).read()
    assert re.search(r"project\(ZAVVeilcast VERSION ([0-9.]+)", cmake).group(1) == veilcast.__version__
