#!/usr/bin/python3
"""Times the Python module against the command line on the same data.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py --mirvo build/mirvo
        [--data DIR] [--n 1000000] [--files-n 20000000] [--runs 3]

Workloads (elements 0..255 stored in one byte, D = 16, a Gaussian mixture):
  partition  N vectors against 256 code vectors (cb->pa), also with a
             progress callback;
  centroids  N vectors in 256 partitions (pa->cb);
  kmeans     a round of mirvo.kmeans (the mean of 5) against the command
             line's cb->pa and pa->cb runs;
  files      read_vector_set and write_vector_set of a FILES_N-vector set.
The command line is timed end to end on the files (reading, computing,
writing). Its compute for cb->pa is estimated as that time less the time of
the same conversion against a one-vector codebook (same reading and writing)
plus Python's partition against that codebook (the part of the search both
runs share: going over the rows); that of a k-means round is the cb->pa
compute plus the whole pa->cb run. Python is timed on arrays in memory (compute only) and,
for the files, on the calls themselves. Each measurement runs in a process of
its own (median of --runs; peak resident memory from GNU time); wall and CPU
seconds both, as the machine may be shared.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from generate import gaussian_mixture  # noqa: E402

CHILD = r"""
import json, sys, time
import numpy as np
import mirvo
mode, folder = sys.argv[1], sys.argv[2]
def timed(call):
    wall, cpu = time.perf_counter(), time.process_time()
    result = call()
    return result, time.perf_counter() - wall, time.process_time() - cpu
out = {}
if mode in ("partition", "partition1", "progress", "kmeans", "centroids"):
    ts = mirvo.VectorSet(np.load(folder + "/set.train.npy"))
    codes = np.load(folder + "/set.code.npy")
    cb = mirvo.VectorSet(codes[:1] if mode == "partition1" else codes, kind="codebook")
    if mode.startswith("partition"):
        _, out["wall"], out["cpu"] = timed(lambda: mirvo.partition(ts, cb))
    elif mode == "progress":
        _, out["wall"], out["cpu"] = timed(lambda: mirvo.partition(ts, cb, progress=lambda rows: None))
    elif mode == "kmeans":
        _, wall, cpu = timed(lambda: mirvo.kmeans(ts, cb, rounds=5, tol=0))
        out["wall"], out["cpu"] = wall / 5, cpu / 5
    else:
        labels = np.load(folder + "/set.labels.npy")
        _, out["wall"], out["cpu"] = timed(lambda: mirvo.centroids(ts, labels, 256))
elif mode == "read":
    _, out["wall"], out["cpu"] = timed(lambda: mirvo.read_vector_set(folder + "/files.ts"))
elif mode == "write":
    ts = mirvo.VectorSet(np.load(folder + "/files.train.npy"))
    _, out["wall"], out["cpu"] = timed(lambda: mirvo.write_vector_set(folder + "/written.ts", ts, overwrite=True))
print(json.dumps(out))
"""


def measured(argv, runs):
    """Median wall and CPU seconds and the largest peak memory (MB) of runs;
    a Python child reports its own times on its last line."""
    walls, cpus, peak = [], [], 0.0
    for _ in range(runs):
        with tempfile.NamedTemporaryFile("r") as report:
            start = time.perf_counter()
            done = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", report.name, *argv],
                                  capture_output=True, text=True)
            wall = time.perf_counter() - start
            if done.returncode != 0:
                raise SystemExit(f"{' '.join(argv)} failed: {done.stdout}{done.stderr}")
            user, system, kb = report.read().split()[-3:]
        own = json.loads(done.stdout.splitlines()[-1]) if argv[0] == sys.executable else None
        walls.append(own["wall"] if own else wall)
        cpus.append(own["cpu"] if own else float(user) + float(system))
        peak = max(peak, float(kb) / 1024)
    return statistics.median(walls), statistics.median(cpus), peak


def prepare(folder, n, files_n, mirvo_binary):
    """The arrays and files of the workloads, made once per size."""
    import mirvo
    stamp = os.path.join(folder, "made-%d-%d" % (n, files_n))
    if os.path.exists(stamp):
        return
    rng = np.random.default_rng(1)
    x, _ = gaussian_mixture(rng, n, 16, 64, 20)
    codes = x[rng.choice(n, 256, replace=False)]
    np.save(os.path.join(folder, "set.train.npy"), x)
    np.save(os.path.join(folder, "set.code.npy"), codes)
    np.save(os.path.join(folder, "set.labels.npy"), mirvo.partition(mirvo.VectorSet(x),
                                                                     mirvo.VectorSet(codes, kind="codebook")))
    mirvo.write_vector_set(os.path.join(folder, "set.ts"), mirvo.VectorSet(x), overwrite=True)
    mirvo.write_vector_set(os.path.join(folder, "set.cb"), mirvo.VectorSet(codes, kind="codebook"), overwrite=True)
    mirvo.write_vector_set(os.path.join(folder, "one.cb"), mirvo.VectorSet(codes[:1], kind="codebook"),
                           overwrite=True)
    subprocess.run([mirvo_binary, "-O", "set", "set.cb"], cwd=folder, check=True, capture_output=True)
    subprocess.run(["cp", "set.pa", "pa.pa"], cwd=folder, check=True)
    files, _ = gaussian_mixture(rng, files_n, 16, 64, 20)
    np.save(os.path.join(folder, "files.train.npy"), files)
    mirvo.write_vector_set(os.path.join(folder, "files.ts"), mirvo.VectorSet(files), overwrite=True)
    open(stamp, "w").close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mirvo", required=True)
    parser.add_argument("--data", default=os.path.join(HERE, "data", "python"))
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--files-n", type=int, default=20_000_000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    os.makedirs(args.data, exist_ok=True)
    binary = os.path.abspath(args.mirvo)
    prepare(args.data, args.n, args.files_n, binary)
    cd = ["/bin/sh", "-c", 'cd "$0" && exec "$@"', args.data]
    child = [sys.executable, "-c", CHILD]

    rows = []
    full = measured(cd + [binary, "-O", "set", "set.cb"], args.runs)
    bare = measured(cd + [binary, "-O", "set", "one.cb"], args.runs)
    rest = measured(child + ["partition1", args.data], args.runs)
    py = measured(child + ["partition", args.data], args.runs)
    search = (full[0] - bare[0] + rest[0], full[1] - bare[1] + rest[1])
    rows.append(("partition", "%dk x 16, 256 codes" % (args.n // 1000), full, search, py))
    py = measured(child + ["progress", args.data], args.runs)
    rows.append(("partition, progress callback", "%dk x 16, 256 codes" % (args.n // 1000), full, search, py))
    to_codebook = measured(cd + [binary, "-O", "set", "pa.pa"], args.runs)
    py = measured(child + ["centroids", args.data], args.runs)
    rows.append(("centroids", "%dk x 16, 256 partitions" % (args.n // 1000), to_codebook, None, py))
    py = measured(child + ["kmeans", args.data], args.runs)
    both = (full[0] + to_codebook[0], full[1] + to_codebook[1], max(full[2], to_codebook[2]))
    rows.append(("kmeans, one round", "%dk x 16, 256 codes" % (args.n // 1000), both,
                 (search[0] + to_codebook[0], search[1] + to_codebook[1]), py))
    size = os.path.getsize(os.path.join(args.data, "files.ts")) / 1e6
    for mode in ("read", "write"):
        py = measured(child + [mode, args.data], args.runs)
        rows.append((mode + "_vector_set", "%dM x 16 (%.0f MB)" % (args.files_n // 10**6, size), None, None, py))

    print("| operation | data | command line, end to end (wall / CPU s, MB) | its compute, est. (wall / CPU s) "
          "| Python (wall / CPU s, MB) | Python / CLI compute (wall) |")
    print("|---|---|---|---|---|---|")
    for name, data, cli, compute, py in rows:
        cli_text = "%.3f / %.3f, %.0f" % cli if cli else "-"
        compute_text = "%.3f / %.3f" % compute if compute else "-"
        ratio = "%.2f" % (py[0] / compute[0]) if compute and compute[0] > 0 else "-"
        rate = " (%.0f MB/s)" % (size / py[0]) if name.endswith("vector_set") else ""
        print("| %s | %s | %s | %s | %.3f / %.3f, %.0f%s | %s |" % (name, data, cli_text, compute_text, *py, rate,
                                                                  ratio))


if __name__ == "__main__":
    main()
