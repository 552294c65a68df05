"""VectorSet and Partitioning as values (pickling, copying, equality,
slicing), and the signatures that help(), inspect and the stub show."""
import ast
import copy
import inspect
import pickle
from pathlib import Path

import numpy as np
import pytest

import mirvo


@pytest.fixture
def objects(work):
    """A set read from a file (names, a 4x4 header), one of rows apart in
    memory with a header of its own, and a partitioning."""
    ts = mirvo.read_vector_set(work / "image.ts")
    made = mirvo.VectorSet(np.arange(60, dtype=np.uint16).reshape(10, 6)[::2, 1:5] * 900, [3, 1, 4, 1, 5],
                           kind="codebook", vector_size_y=2, bytes_per_element=3, reserved_value=7,
                           error_scaling=1, inherit_level=2, generation_method="by hand")
    return ts, made, mirvo.Partitioning(mirvo.partition(ts, mirvo.read_vector_set(work / "image.cb")), 64, "p")


def test_objects_pickle_and_copy_to_equal_objects(objects, work):
    for value in objects:
        for twin in (pickle.loads(pickle.dumps(value)), copy.copy(value), copy.deepcopy(value)):
            assert type(twin) is type(value) and twin == value and not twin != value
    ts = objects[0]
    assert np.shares_memory(copy.copy(ts).vectors, ts.vectors) and not np.shares_memory(copy.deepcopy(ts).vectors,
                                                                                         ts.vectors)
    assert mirvo.read_vector_set(work / "image.ts") == ts
    unpickled = pickle.loads(pickle.dumps(objects[1]))
    mirvo.write_vector_set(work / "a.cb", objects[1])
    mirvo.write_vector_set(work / "b.cb", unpickled)
    assert (work / "a.cb").read_bytes() == (work / "b.cb").read_bytes()


CHANGES = [
    # (attribute, new value): each makes a set unequal to the original
    ("vectors", lambda s: s.vectors + 1), ("freqs", lambda s: s.freqs * 2), ("names", lambda s: ["x"] * len(s)),
    ("version_string", lambda s: "VQ CODEBOOK 2.0"), ("vector_size_x", lambda s: 2),
    ("vector_size_y", lambda s: 8), ("bytes_per_element", lambda s: 2), ("reserved_value", lambda s: 1),
    ("error_scaling", lambda s: 1), ("inherit_level", lambda s: 2), ("generation_method", lambda s: "g"),
    ("total_freq", lambda s: 0),
]


@pytest.mark.parametrize("name, change", CHANGES)
def test_sets_differing_in_one_field_are_unequal(objects, name, change):
    ts = objects[0]
    other = copy.deepcopy(ts)
    setattr(other, name, change(ts))
    assert other != ts


def test_equality_is_by_value():
    ts = mirvo.VectorSet([[1, 2]], names=[""])
    assert ts == mirvo.VectorSet(np.array([[1, 2]], np.int32), bytes_per_element=1)  # dtype aside; "" is no name
    assert ts != mirvo.Partitioning([0], 1) and mirvo.Partitioning([0], 2) != mirvo.Partitioning([0], 1)
    with pytest.raises(TypeError):
        hash(ts)


def test_rows_are_sliced_into_new_objects(objects):
    ts, made, partitioning = objects
    mask = ts.freqs > 1
    picked = np.flatnonzero(mask)
    for rows, expected in [(slice(10, 20), list(range(10, 20))), (mask, picked.tolist()),
                           (picked[::-1], picked[::-1].tolist()), ([0, 0], [0, 0])]:
        part = ts[rows]
        assert part == mirvo.VectorSet(ts.vectors[expected], ts.freqs[expected], [ts.names[i] for i in expected],
                                       **mirvo._values.keywords(ts))
        assert part.total_freq == ts.freqs[expected].sum() and len(part) == len(expected)
        assert partitioning[rows] == mirvo.Partitioning(partitioning.indices[expected], 64, "p")
    assert made[1:3] == mirvo.VectorSet(made.vectors[1:3], [1, 4], **mirvo._values.keywords(made))
    assert np.shares_memory(ts[5:].vectors, ts.vectors)
    assert np.asarray(ts) is ts.vectors and np.asarray(partitioning) is partitioning.indices
    for key in (3, (1, 2)):
        with pytest.raises(TypeError):
            ts[key]


def test_signatures_are_those_of_the_stub():
    import mirvo.dask
    stub = ast.parse((Path(mirvo.__file__).parent / "__init__.pyi").read_text())
    defined = {node.name: node for node in ast.walk(stub) if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    for name in mirvo.__all__:
        assert name in defined or name in ("PROGRAM_IDENTITY", "__version__"), name
        node = defined.get(name)
        if isinstance(node, ast.ClassDef) and not issubclass(getattr(mirvo, name), Exception):
            node = next((n for n in node.body if getattr(n, "name", "") == "__init__"), None)
        if isinstance(node, ast.FunctionDef):
            arguments = [a.arg for a in node.args.args + node.args.kwonlyargs if a.arg != "self"]
            assert list(inspect.signature(getattr(mirvo, name)).parameters) == arguments, name
    for function in (mirvo.dask.partition, mirvo.dask.centroids):
        signature = inspect.signature(function)
        assert signature.return_annotation is not inspect.Signature.empty
        assert all(p.annotation is not inspect.Parameter.empty for p in signature.parameters.values())
