"""mirvo.dask gives the command line's files: the README's example on a
local cluster of two worker processes, and a set of ties split in uneven
chunks."""
import re

import numpy as np
import pytest

import mirvo
from conftest import ROOT

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import mirvo.dask  # noqa: E402


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # of tornado, under distributed
def test_the_readmes_example_writes_the_command_lines_codebook(work, run, monkeypatch):
    readme = (ROOT / "README.md").read_text()
    example = re.search(r"### On a Dask cluster\n.*?```python\n(.*?)```", readme, re.S).group(1)
    assert "distributed.Client(n_workers=2" in example
    monkeypatch.chdir(work)
    exec(compile(example, "README.md", "exec"), {})
    run(work, "image", "image")
    run(work, "-O", "image", "image.pa")
    assert (work / "dask.cb").read_bytes() == (work / "image.cb").read_bytes()


def test_uneven_chunks_give_the_command_lines_files(tmp_path, run):
    rng = np.random.default_rng(11)
    vectors = rng.integers(0, 256, (3000, 4), dtype=np.uint8)
    freqs = rng.integers(1, 4, 3000).astype(np.int32)
    codes = np.concatenate([vectors[:30], vectors[:3]])  # ties
    ts = mirvo.VectorSet(vectors, freqs, vector_size_x=2, vector_size_y=2, generation_method="g", inherit_level=2)
    mirvo.write_vector_set(tmp_path / "t.ts", ts)
    mirvo.write_vector_set(tmp_path / "c.cb", mirvo.VectorSet(codes, kind="codebook"))
    run(tmp_path, "t", "c")
    run(tmp_path, "-O", "t", "c.pa")
    x = da.from_array(vectors, chunks=((700, 1300, 1000), 4))
    indices = mirvo.dask.partition(x, codes)  # the threaded scheduler: no cluster needed for the sums
    cb = mirvo.dask.centroids(x, da.from_array(freqs, chunks=900), indices, len(codes), header=ts)
    mirvo.write_partitioning(tmp_path / "dask.pa", mirvo.Partitioning(indices.compute(), len(codes)), ts)
    assert (tmp_path / "dask.pa").read_bytes() == (tmp_path / "c.pa").read_bytes()
    assert mirvo.dask.centroids(ts, None, indices, len(codes)) == cb  # a VectorSet: its freqs and header
    cb.generation_method += mirvo.PROGRAM_IDENTITY
    mirvo.write_vector_set(tmp_path / "dask.cb", cb)
    assert (tmp_path / "dask.cb").read_bytes() == (tmp_path / "c.cb").read_bytes()
