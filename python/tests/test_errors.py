"""The library's fatal errors reach Python as mirvo.Error with their ERROR
text and the file's name; the interpreter goes on, and nothing is written.
Arguments that are not what a function takes raise TypeError or ValueError
naming them."""
import os
import subprocess
import sys

import numpy as np
import pytest

import mirvo

SEPARATOR = b"-" * 37 + b"\n"
ONE_BYTE_SET = b"VQ TRAINING SET 2.0\n1\n1\n%d\n%d\n1\n0\n0\n0\n" + SEPARATOR

BAD_VECTOR_SETS = [
    (b"VQ CODEBOOK\n", "ERROR: No version number found in header."),
    (b"VQ CODEBOOK 3.0\n", "ERROR: Unknown file version number (3)."),
    (ONE_BYTE_SET % (1, 1) + b"x" * 80 + b"\0\x05\0\0\0\x01",
     "ERROR: Too long vector name:\n" + "x" * 80 + "\nMaximum is 80 characters."),
    (ONE_BYTE_SET % (2, 2) + b"a\0\x05\0\0\0\x01bcdef", "ERROR: premature end of file"),
]


@pytest.mark.parametrize("content, message", BAD_VECTOR_SETS)
def test_bad_vector_set_raises_its_error_text(tmp_path, content, message):
    (tmp_path / "bad").write_bytes(content)
    with pytest.raises(mirvo.Error) as raised:
        mirvo.read_vector_set(tmp_path / "bad")
    assert str(raised.value) == "%s: %s" % (tmp_path / "bad", message)


PARTITIONING_HEADER = "VQ PARTITIONING 2.0\n64\n%d\n" + "-" * 37 + "\n"
BAD_PARTITIONINGS = [
    (PARTITIONING_HEADER % 100, "ERROR: Partitioning is not for this training set (100 != 779)."),
    (PARTITIONING_HEADER % 779 + "0\n", "ERROR: Invalid partition index (0) found."),
    (PARTITIONING_HEADER % 779 + "65 r0c0\n", "ERROR: Invalid partition index (65) found."),
    (PARTITIONING_HEADER % 779 + "1\n" * 778, "ERROR reading partitioning."),
]


@pytest.mark.parametrize("content, message", BAD_PARTITIONINGS)
def test_bad_partitioning_raises_its_error_text(work, content, message):
    (work / "bad.pa").write_text(content)
    ts = mirvo.read_vector_set(work / "image.ts")
    with pytest.raises(mirvo.Error) as raised:
        mirvo.read_partitioning(work / "bad.pa", ts)
    assert str(raised.value) == "%s: %s" % (work / "bad.pa", message)


def test_unreadable_files_raise_the_matching_os_error_that_is_a_mirvo_error(work):
    missing, folder = work / "none.ts", work
    cases = [
        (lambda: mirvo.read_vector_set(missing), FileNotFoundError,
         "ERROR: Cannot read %s: No such file or directory." % missing),
        (lambda: mirvo.read_vector_set(folder), IsADirectoryError, "ERROR: Cannot read %s: Is a directory." % folder),
        (lambda: mirvo.write_vector_set(work / "image.ts", mirvo.VectorSet([[1]])), FileExistsError,
         "ERROR: File already exists: %s" % (work / "image.ts")),
    ]
    for call, error, message in cases:
        with pytest.raises(error) as raised:
            call()
        assert isinstance(raised.value, mirvo.Error) and str(raised.value) == message


OTHER_KINDS = [
    # (file, bytes, reader, message after the file's name)
    ("image.png", b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR", mirvo.read_vector_set,
     'not a training set, codebook or partitioning (first line: "\\x89PNG")'),
    ("empty.cb", b"", mirvo.read_vector_set, 'not a training set, codebook or partitioning (first line: "")'),
    ("quote.pa", b'say "hi"\\\n', lambda path: mirvo.read_partitioning(path, mirvo.VectorSet([[1]])),
     'not a training set, codebook or partitioning (first line: "say \\"hi\\"\\\\")'),
    ("set.pa", b"VQ TRAINING SET 2.0\n", lambda path: mirvo.read_partitioning(path, mirvo.VectorSet([[1]])),
     'a training set, not a partitioning (first line: "VQ TRAINING SET 2.0")'),
    ("part.cb", b"VQ PARTITIONING 2.0\n1\n", mirvo.read_vector_set,
     'a partitioning, not a training set or codebook (first line: "VQ PARTITIONING 2.0")'),
]


@pytest.mark.parametrize("name, content, read, message", OTHER_KINDS)
def test_file_of_another_kind_is_named_with_its_first_line(tmp_path, monkeypatch, name, content, read, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / name).write_bytes(content)
    with pytest.raises(mirvo.Error) as raised:
        read(name)
    assert str(raised.value) == "%s: %s" % (name, message)


def test_total_freq_mismatch_is_a_warning_not_output(tmp_path, capfd):
    (tmp_path / "t.ts").write_bytes(ONE_BYTE_SET % (1, 5) + b"\0\x07\0\0\0\x01")
    with pytest.warns(UserWarning, match="^WARNING: TotalFreq header field = 5 but calculated totalfreq = 1.$"):
        ts = mirvo.read_vector_set(tmp_path / "t.ts")
    assert (ts.total_freq, capfd.readouterr()) == (1, ("", ""))


def refused_writes(folder):
    existing = folder / "existing.ts"
    existing.write_bytes(b"kept")
    return [
        (existing, mirvo.VectorSet([[1]]), "ERROR: File already exists: %s" % existing),
        (folder / "wide.ts", mirvo.VectorSet([[256]], bytes_per_element=1),
         "%s: ERROR: Vector element value is too big (256). Increase bytes/elem ratio." % (folder / "wide.ts")),
        (folder / "dash.ts", mirvo.VectorSet([[1]], generation_method="-x"),
         "ERROR: Cannot write %s: its generation method may neither begin with '-' nor hold a line break."
         % (folder / "dash.ts")),
    ]


def test_refused_writes_raise_and_leave_the_target_as_it_was(tmp_path):
    for path, vector_set, message in refused_writes(tmp_path):
        before = path.read_bytes() if path.exists() else None
        with pytest.raises(mirvo.Error) as raised:
            mirvo.write_vector_set(path, vector_set)
        assert str(raised.value) == message
        assert (path.read_bytes() if path.exists() else None) == before
    assert sorted(os.listdir(tmp_path)) == ["existing.ts"]


def test_interpreter_survives_and_prints_nothing_of_its_own(tmp_path):
    (tmp_path / "bad.cb").write_bytes(b"VQ CODEBOOK 7.0\n")
    script = ("import mirvo\n"
              "for _ in range(2):\n"
              "    try:\n"
              "        mirvo.read_vector_set('bad.cb')\n"
              "    except mirvo.Error as error:\n"
              "        print(error)\n"
              "print(len(mirvo.VectorSet([[1, 2]])))\n")
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (
        0, "bad.cb: ERROR: Unknown file version number (7).\n" * 2 + "1\n", "")


class Rows:
    """An array-like by the array protocol only."""
    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None):
        return self.array


def test_sets_are_taken_as_arrays_or_vector_sets_of_any_kind(work):
    ts, cb = mirvo.read_vector_set(work / "image.ts"), mirvo.read_vector_set(work / "image.cb")
    indices = mirvo.partition(ts, cb)
    codebook = mirvo.centroids(ts, indices, 64)
    equal = mirvo.VectorSet(ts.vectors)  # the frequencies all 1, as the arrays' are
    for training_set, codes in [(ts.vectors, cb.vectors), (ts.vectors.astype(np.int64), cb.vectors.tolist()),
                                (Rows(ts.vectors), Rows(cb.vectors)), (ts, mirvo.VectorSet(cb.vectors)),
                                (mirvo.VectorSet(ts.vectors, ts.freqs, kind="codebook", vector_size_y=4), cb)]:
        assert mirvo.partition(training_set, codes).tolist() == indices.tolist()
        made = mirvo.centroids(training_set, indices, 64)
        assert made == (codebook if isinstance(training_set, mirvo.VectorSet) else mirvo.centroids(equal, indices, 64))
    assert mirvo.centroids(ts, mirvo.Partitioning(indices, 64)) == codebook
    # Narrow arrays are searched where they lie.
    assert np.shares_memory(mirvo._arguments.vector_set(ts.vectors, "x", "codebook").vectors, ts.vectors)


BAD_ARGUMENTS = [
    (lambda ts, cb: mirvo.partition(np.zeros((100, 16)), cb), TypeError,
     "training_set must hold integers, not an array of float64 with shape (100, 16): round them first, "
     "e.g. numpy.rint(x).astype(numpy.int32)"),
    (lambda ts, cb: mirvo.partition(ts, ["ab", "cd"]), TypeError,
     "codebook must hold integers, not an array of <U2 with shape (2,)"),
    (lambda ts, cb: mirvo.partition(ts, {1: 2}), TypeError,
     "codebook must be a VectorSet or an integer array N x D, not dict"),
    (lambda ts, cb: mirvo.partition(ts, [[1, 2], [3]]), ValueError, "codebook is not an N x D array: "),
    (lambda ts, cb: mirvo.partition(ts.vectors[0], cb), ValueError,
     "training_set must have 2 dimensions (N x D), not 1 (an array of uint8 with shape (16,))"),
    (lambda ts, cb: mirvo.partition(ts, [[2 ** 32] * 16]), ValueError,
     "codebook holds values beyond 32-bit integers (an array of int64 with shape (1, 16), from 4294967296 to "
     "4294967296)"),
    (lambda ts, cb: mirvo.partition(ts, np.zeros((0, 16), np.uint8)), ValueError,
     "codebook holds no vectors (an array of uint8 with shape (0, 16))"),
    (lambda ts, cb: mirvo.partition(ts, [[1, 2]]), ValueError,
     "training_set and codebook differ in D, 16 and 2 (<mirvo.VectorSet training set: 779 vectors of 4x4, uint8>; "
     "an array of int64 with shape (1, 2))"),
    (lambda ts, cb: mirvo.distortion(cb, ts), ValueError,
     "training_set is a codebook and codebook a training set: were they given in the wrong order? "
     "(training set first)"),
    (lambda ts, cb: mirvo.centroids(ts, np.full(779, 64), 64), ValueError, "indices[0] is 64, outside 0..63"),
    (lambda ts, cb: mirvo.centroids(ts, np.zeros(778, int), 64), ValueError,
     "indices hold 778 entries for a training set of 779 vectors"),
    (lambda ts, cb: mirvo.centroids(ts, np.zeros((779, 1), int), 64), ValueError,
     "indices must have 1 dimension, not 2 (an array of int64 with shape (779, 1))"),
    (lambda ts, cb: mirvo.centroids(ts, np.zeros(779), 64), TypeError,
     "indices must hold integers, not an array of float64 with shape (779,)"),
    (lambda ts, cb: mirvo.centroids(ts, np.zeros(779, int)), TypeError,
     "count is needed with indices that are not a Partitioning"),
    (lambda ts, cb: mirvo.centroids(ts, np.zeros(779, int), 0), ValueError, "count must be at least 1, not 0"),
    (lambda ts, cb: mirvo.distortion(ts, cb, np.full(779, 64)), ValueError, "indices[0] is 64, outside 0..63"),
    (lambda ts, cb: mirvo.kmeans(ts, cb, rounds=2.5), TypeError, "rounds must be an int, not float"),
    (lambda ts, cb: mirvo.set_num_threads(0), ValueError, "n must be at least 1, not 0"),
    (lambda ts, cb: mirvo.VectorSet([[2 ** 31]]), ValueError, "vectors holds values beyond 32-bit integers"),
    (lambda ts, cb: mirvo.VectorSet([[1, 2, 3]], vector_size_x=2), ValueError,
     "VectorSet: vector_size_x * vector_size_y (2 * 1) must equal the 3 columns of vectors"),
    (lambda ts, cb: mirvo.VectorSet([[1]], generation_method="g" * 80), ValueError,
     "generation_method holds more than 79 characters"),
]


def test_a_centroid_element_beyond_32_bits_is_refused_as_on_the_command_line():
    # Frequencies of mixed sign: 2147483647 * 5 - 0 * 4 over a frequency of 1.
    ts = mirvo.VectorSet(np.array([[2147483647], [0]]), freqs=[5, -4])
    with pytest.raises(mirvo.Error) as raised:
        mirvo.centroids(ts, np.zeros(2, int), 1)
    assert str(raised.value) == "ERROR: Vector element value 10737418235 does not fit in 4 bytes per element."


@pytest.mark.parametrize("call, error, text", BAD_ARGUMENTS)
def test_bad_arguments_are_refused_in_words_of_arguments(work, call, error, text):
    ts, cb = mirvo.read_vector_set(work / "image.ts"), mirvo.read_vector_set(work / "image.cb")
    with pytest.raises(error) as raised:
        call(ts, cb)
    assert str(raised.value).startswith(text)
