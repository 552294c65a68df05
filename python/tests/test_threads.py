"""Computations run with the GIL released, side by side, and stop at Ctrl-C.
A test gate holds computations at their start (GIL released) so that nothing
depends on timing: were the GIL held, the main thread could not count them."""
import _thread
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
