"""mirvo.dask on a local cluster of two worker processes gives the command
line's files for a set split in uneven chunks."""
import numpy as np
import pytest

import mirvo

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import mirvo.dask  # noqa: E402


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # of tornado, under distributed
def test_dask_conversions_equal_the_command_lines_files(tmp_path, run):
    rng = np.random.default_rng(11)
    vectors = rng.integers(0, 256, (3000, 4), dtype=np.uint8)
    freqs = rng.integers(1, 4, 3000).astype(np.int32)
    codes = np.concatenate([vectors[:30], vectors[:3]])  # ties
    codebook = mirvo.VectorSet(codes, kind="codebook")
    mirvo.write_vector_set(tmp_path / "t.ts", mirvo.VectorSet(vectors, freqs))
    mirvo.write_vector_set(tmp_path / "c.cb", codebook)
    run(tmp_path, "t", "c")
    run(tmp_path, "-O", "t", "c.pa")
    x = da.from_array(vectors, chunks=((700, 1300, 1000), 4))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) \
            as cluster, distributed.Client(cluster):
        indices = mirvo.dask.partition(x, codebook)
        cb = mirvo.dask.centroids(x, da.from_array(freqs, chunks=900), indices, len(codes))
        indices = indices.compute()
    mirvo.write_partitioning(tmp_path / "dask.pa", mirvo.Partitioning(indices, len(codes)), mirvo.VectorSet(vectors))
    assert (tmp_path / "dask.pa").read_bytes() == (tmp_path / "c.pa").read_bytes()
    cb.generation_method += mirvo.PROGRAM_IDENTITY
    mirvo.write_vector_set(tmp_path / "dask.cb", cb)
    assert (tmp_path / "dask.cb").read_bytes() == (tmp_path / "c.cb").read_bytes()
