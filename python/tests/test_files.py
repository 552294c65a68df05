"""Vector sets and partitionings read and written through the module, checked
against the bundled example and the files that mirvo itself writes."""
import numpy as np
import pytest

import mirvo

SEPARATOR = b"-" * 37 + b"\n"


@pytest.fixture
def converted(work, run):
    """The example folder after both conversions: image.pa and image.cb written by mirvo."""
    run(work, "image", "image")
    run(work, "-O", "image", "image.pa")
    return work


def test_reads_the_example_training_set_as_its_bytes_say(work):
    data = (work / "image.ts").read_bytes()
    header, records = data.split(SEPARATOR, 1)
    ts = mirvo.read_vector_set(work / "image.ts")
    fields = [ts.version_string, ts.vector_size_x, ts.vector_size_y, len(ts), ts.total_freq, ts.bytes_per_element,
              ts.reserved_value, ts.error_scaling, ts.inherit_level, ts.generation_method]
    assert [str(field) for field in fields] == header.decode().splitlines()
    assert (ts.kind, len(ts), ts.total_freq, int(ts.freqs.sum())) == ("training set", 779, 1024, 1024)
    assert ts.vectors.shape == (779, 16) and (ts.vectors.dtype, ts.freqs.dtype) == (np.uint8, np.int32)
    first = b"r0c0\0" + bytes(ts.vectors[0].tolist()) + int(ts.freqs[0]).to_bytes(4, "big")
    last = b"r31c31\0" + bytes(ts.vectors[-1].tolist()) + int(ts.freqs[-1]).to_bytes(4, "big")
    assert records.startswith(first) and records.endswith(last)
    assert (ts.names[0], ts.names[-1], ts.names.count(None)) == ("r0c0", "r31c31", 0)


@pytest.mark.parametrize("name", ["image.ts", "image.cb"])
def test_vector_set_round_trip_is_byte_identical(converted, name):
    mirvo.write_vector_set(converted / "copy", mirvo.read_vector_set(converted / name))
    assert (converted / "copy").read_bytes() == (converted / name).read_bytes()


def test_partitioning_round_trip_is_byte_identical(converted):
    ts = mirvo.read_vector_set(converted / "image.ts")
    partitioning = mirvo.read_partitioning(converted / "image.pa", ts)
    assert (len(partitioning), partitioning.count, partitioning.generation_method) == (779, 64, "")
    lines = (converted / "image.pa").read_text().splitlines()[4:]
    assert partitioning.indices.tolist() == [int(line.split()[0]) - 1 for line in lines]
    mirvo.write_partitioning(converted / "copy.pa", partitioning, ts)
    assert (converted / "copy.pa").read_bytes() == (converted / "image.pa").read_bytes()


ARRAY_SETS = [
    # (arguments, keyword arguments, exact file); one per width, uint8, uint16 and int32
    (([[3, 250]], [2], ["a"]), {},
     b"VQ TRAINING SET 2.0\n2\n1\n1\n2\n1\n0\n0\n0\n" + SEPARATOR + b"a\0\x03\xfa\0\0\0\x02"),
    (([[1, 2, 3, 258]],), dict(kind="codebook", vector_size_y=2, bytes_per_element=2, reserved_value=7,
                               error_scaling=3, inherit_level=2, generation_method="made by hand"),
     b"VQ CODEBOOK 2.0\n2\n2\n1\n1\n2\n7\n3\n2\nmade by hand\n" + SEPARATOR
     + b"\0\0\x01\0\x02\0\x03\x01\x02\0\0\0\x01"),
    (([[-1], [5]], [-3, 4], ["", "b"]), dict(bytes_per_element=4),
     b"VQ TRAINING SET 2.0\n1\n1\n2\n1\n4\n0\n0\n0\n" + SEPARATOR
     + b"\0\xff\xff\xff\xff\xff\xff\xff\xfdb\0\0\0\0\x05\0\0\0\x04"),
]


@pytest.mark.parametrize("args, kwargs, expected", ARRAY_SETS)
def test_set_made_from_arrays_is_written_exactly_and_reads_back(tmp_path, args, kwargs, expected):
    made = mirvo.VectorSet(*args, **kwargs)
    mirvo.write_vector_set(tmp_path / "set", made)
    assert (tmp_path / "set").read_bytes() == expected
    read = mirvo.read_vector_set(tmp_path / "set")
    assert read.vectors.dtype == made.vectors.dtype == {1: np.uint8, 2: np.uint16, 4: np.int32}[made.bytes_per_element]
    assert read.vectors.tolist() == made.vectors.tolist()
    assert read.freqs.tolist() == made.freqs.tolist()
    assert read.names == (None if made.names is None else [name or None for name in made.names])
    assert read.total_freq == made.total_freq == sum(made.freqs.tolist())


def test_reads_a_version_1_file_and_writes_the_current_version(tmp_path):
    (tmp_path / "old.ts").write_bytes(b"VQ TRAINING SET 1.0\n2\n1\n1\n0\n9\n9\n9\n0\n-----\n\x05\x06\x02\x01")
    old = mirvo.read_vector_set(tmp_path / "old.ts")
    assert (old.vectors.tolist(), old.freqs.tolist(), old.names, old.bytes_per_element) == ([[5, 6]], [258], None, 1)
    mirvo.write_vector_set(tmp_path / "new.ts", old)
    assert (tmp_path / "new.ts").read_bytes() == (b"VQ TRAINING SET 2.0\n2\n1\n1\n258\n1\n0\n0\n0\n" + SEPARATOR
                                                  + b"\0\x05\x06\0\0\x01\x02")


def test_arrays_are_kept_in_their_width_without_a_copy(tmp_path):
    base = np.arange(4 * 6, dtype=np.uint16).reshape(4, 6) * 1000
    rows = base[::2, 1:5]  # rows apart in memory, elements adjacent
    kept = mirvo.VectorSet(rows)
    assert np.shares_memory(kept.vectors, base) and kept.bytes_per_element == 2 and kept.vector_size_x == 4
    mirvo.write_vector_set(tmp_path / "view", kept)
    mirvo.write_vector_set(tmp_path / "copy", mirvo.VectorSet(np.ascontiguousarray(rows)))
    assert (tmp_path / "view").read_bytes() == (tmp_path / "copy").read_bytes()
    one_byte = mirvo.VectorSet(np.zeros((1000, 16), np.uint8))
    assert one_byte.vectors.nbytes == 16000 and one_byte.names is None
    # Other integers: the narrowest of uint8, uint16, int32 that holds the values.
    assert [mirvo.VectorSet(np.array(v, dtype)).vectors.dtype for v, dtype in
            [([[255]], np.int64), ([[256]], np.int64), ([[-1]], np.int8)]] == \
        [np.uint8, np.uint16, np.int32]
