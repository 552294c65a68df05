"""Shared fixtures: the mirvo program and a folder with the bundled example."""
import os
import shutil
import subprocess

import pytest


@pytest.fixture(scope="session")
def binary():
    return os.environ["MIRVO_BINARY"]


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
        shutil.copy(os.path.join(os.environ["MIRVO_EXAMPLES"], name), tmp_path / name)
    return tmp_path

