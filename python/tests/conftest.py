"""Shared fixtures: the built programs, the bundled example and running mirvo.

Run by ctest, the build's paths come from the environment (PYTHONPATH,
MIRVO_BINARY, MIRVO_KMEANS_BINARY, MIRVO_EXAMPLES); run as plain
`pytest python/tests` from a built tree, they are those of build/ beside
python/ (or of the folder MIRVO_BUILD names), and the package is imported
from there."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("MIRVO_BUILD", ROOT / "build"))
if "MIRVO_BINARY" not in os.environ:
    package = str(BUILD / "python")
    sys.path.insert(0, package)
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [package, os.environ.get("PYTHONPATH")]))


def _path(variable, default):
    return Path(os.environ.get(variable, default))


EXAMPLES = _path("MIRVO_EXAMPLES", ROOT / "examples")


@pytest.fixture(scope="session")
def binary():
    return str(_path("MIRVO_BINARY", BUILD / "mirvo"))


@pytest.fixture(scope="session")
def kmeans_binary():
    return str(_path("MIRVO_KMEANS_BINARY", BUILD / "examples" / "mirvo_kmeans"))


@pytest.fixture
def run(binary):
    """Runs mirvo in a folder and checks that it converted without a word on standard error."""
    def run_in(folder, *args):
        done = subprocess.run([binary, *args], cwd=folder, capture_output=True, text=True)
        assert (done.returncode, done.stderr) == (0, ""), done.stdout + done.stderr
    return run_in


@pytest.fixture
def work(tmp_path):
    """A folder holding copies of image.ts and image.cb."""
    for name in ("image.ts", "image.cb"):
        shutil.copy(EXAMPLES / name, tmp_path / name)
    return tmp_path
