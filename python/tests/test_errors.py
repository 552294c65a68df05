"""The library's fatal errors reach Python as mirvo.Error with their ERROR
text; the interpreter goes on, and nothing is written."""
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
    assert str(raised.value) == message


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
    assert str(raised.value) == message


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


def test_file_of_another_kind_says_what_its_first_line_is(work, run):
    run(work, "image", "image")
    ts = mirvo.read_vector_set(work / "image.ts")
    with pytest.raises(mirvo.Error) as raised:
        mirvo.read_partitioning(work / "image.ts", ts)
    assert str(raised.value) == ('ERROR: %s is a training set, not a partitioning: its first line is '
                                 '"VQ TRAINING SET 2.0".' % (work / "image.ts"))
    with pytest.raises(mirvo.Error) as raised:
        mirvo.read_vector_set(work / "image.pa")
    assert str(raised.value) == ('ERROR: %s is a partitioning, not a training set or codebook: its first line is '
                                 '"VQ PARTITIONING 2.0".' % (work / "image.pa"))


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
         "ERROR: Vector element value is too big (256). Increase bytes/elem ratio."),
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
        0, "ERROR: Unknown file version number (7).\n" * 2 + "1\n", "")


BAD_ARGUMENTS = [
    (lambda ts, cb: mirvo.partition(ts, mirvo.VectorSet(np.zeros((0, 16), int), kind="codebook")),
     ValueError, "the codebook holds no vectors"),
    (lambda ts, cb: mirvo.partition(ts, mirvo.VectorSet([[1, 2]], kind="codebook")), ValueError,
     r"training set and codebook dimensions differ \(16 != 2\)"),
    (lambda ts, cb: mirvo.partition(cb, ts), mirvo.Error, "^ERROR: The first given file must be a ts file.$"),
    (lambda ts, cb: mirvo.partition(ts, ts), mirvo.Error, "^ERROR: You must give a cb or pa file as input file.$"),
    (lambda ts, cb: mirvo.centroids(ts, np.full(779, 64), 64), ValueError, "index 64 of vector 0 is outside 0..63"),
    (lambda ts, cb: mirvo.centroids(ts, np.zeros(778, int), 64), ValueError, "indices hold 778 entries"),
    (lambda ts, cb: mirvo.VectorSet([[2 ** 31]]), ValueError, "beyond 32-bit"),
    (lambda ts, cb: mirvo.VectorSet([[1.5]]), TypeError, "must hold integers, not float64: round them first"),
    (lambda ts, cb: mirvo.VectorSet(np.zeros(3, np.uint8)), ValueError, "2 dimensions"),
    (lambda ts, cb: mirvo.VectorSet([[1, 2, 3]], vector_size_x=2), ValueError, r"2 \* 1"),
    (lambda ts, cb: mirvo.VectorSet([[1]], generation_method="g" * 80), ValueError, "79 characters"),
]


def test_a_centroid_element_beyond_32_bits_is_refused_as_on_the_command_line():
    # Frequencies of mixed sign: 2147483647 * 5 - 0 * 4 over a frequency of 1.
    ts = mirvo.VectorSet(np.array([[2147483647], [0]]), freqs=[5, -4])
    with pytest.raises(mirvo.Error) as raised:
        mirvo.centroids(ts, np.zeros(2, int), 1)
    assert str(raised.value) == "ERROR: Vector element value 10737418235 does not fit in 4 bytes per element."


@pytest.mark.parametrize("call, error, text", BAD_ARGUMENTS)
def test_bad_arguments_are_refused_before_the_library_runs(work, call, error, text):
    ts, cb = mirvo.read_vector_set(work / "image.ts"), mirvo.read_vector_set(work / "image.cb")
    with pytest.raises(error, match=text):
        call(ts, cb)
