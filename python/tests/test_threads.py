"""Computations run with the GIL released, side by side, and stop at Ctrl-C.
A test gate holds computations at their start (GIL released) so that nothing
depends on timing: were the GIL held, the main thread could not count them."""
import _thread
import io
import threading
import time

import numpy as np
import pytest

import mirvo
from mirvo import _mirvo


@pytest.fixture
def sets():
    rng = np.random.default_rng(3)
    return (mirvo.VectorSet(rng.integers(0, 256, (5000, 16), dtype=np.uint8)),
            mirvo.VectorSet(rng.integers(0, 256, (64, 16), dtype=np.uint8), kind="codebook"))


@pytest.fixture
def gate():
    _mirvo._gate(True)
    yield lambda count: _wait_for(lambda: _mirvo._gate_waiting() >= count)
    _mirvo._gate(False)


def _wait_for(condition):
    while not condition():
        time.sleep(0.001)


def test_two_partitions_run_at_once_while_the_main_thread_goes_on(sets, gate):
    results = []
    threads = [threading.Thread(target=lambda: results.append(mirvo.partition(*sets))) for _ in range(2)]
    for thread in threads:
        thread.start()
    gate(2)  # both inside a computation, and this thread runs Python meanwhile
    assert results == []
    _mirvo._gate(False)
    for thread in threads:
        thread.join()
    assert len(results) == 2 and results[0].tolist() == results[1].tolist() == mirvo.partition(*sets).tolist()


def test_ctrl_c_interrupts_a_long_computation(sets, gate):
    helper = threading.Thread(target=lambda: (gate(1), _thread.interrupt_main()))
    helper.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            mirvo.centroids(sets[0], np.zeros(5000, np.int32), 1)
    finally:
        helper.join()


def test_progress_reaches_a_tqdm_bar_and_its_exception_stops_the_call(sets):
    tqdm = pytest.importorskip("tqdm").tqdm
    ts, cb = sets
    indices = mirvo.partition(ts, cb)
    for call, expected in [(lambda p: mirvo.partition(ts, cb, progress=p), indices),
                           (lambda p: mirvo.centroids(ts, indices, 64, progress=p), mirvo.centroids(ts, indices, 64))]:
        with tqdm(total=len(ts), file=io.StringIO()) as bar:
            result = call(bar.update)
        assert bar.n == len(ts) and np.array_equal(np.asarray(result), np.asarray(expected))

        def refuse(rows):
            raise ValueError("enough after %d" % rows)
        with pytest.raises(ValueError, match="^enough after"):
            call(refuse)


def test_thread_count_is_set_for_the_process(sets):
    cores = mirvo.get_num_threads()
    expected = mirvo.partition(*sets)
    try:
        for n in (1, 3):
            mirvo.set_num_threads(n)
            assert mirvo.get_num_threads() == n
            assert mirvo.partition(*sets).tolist() == expected.tolist()
    finally:
        mirvo.set_num_threads(None)
    assert mirvo.get_num_threads() == cores
