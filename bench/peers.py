#!/usr/bin/python3
"""One peer computation on in-memory arrays, timed without the loading.

    /usr/bin/python3 bench/peers.py PEER DATA_DIR WORKLOAD [THREADS]

PEER is faiss, scipy, ckdtree or sklearn (nearest code vector of every
training vector; ckdtree is SciPy's exact k-d tree, built on the clock) or
numpy (centroid of every partition, np.bincount per element).
The arrays are loaded and converted to the type the peer works on before the
clock starts. THREADS (default: all cores) is passed to FAISS and to
the k-d tree's queries (workers); the BLAS
takes its threads from OPENBLAS_NUM_THREADS. Prints the compute time in
seconds, a check value (the sum of the 0-based labels, or of the centroids)
and the BLAS kernel in use as threadpoolctl reports it.
"""
import os
import sys
import time

import numpy as np


def load(data, workload, part):
    return np.load(os.path.join(data, f"{workload}.{part}.npy"))


def nearest(peer, x, code, threads):
    if peer == "faiss":
        import faiss
        faiss.omp_set_num_threads(threads)
        xf = np.ascontiguousarray(x, dtype=np.float32)
        cf = np.ascontiguousarray(code, dtype=np.float32)
        start = time.perf_counter()
        index = faiss.IndexFlatL2(cf.shape[1])
        index.add(cf)
        _, labels = index.search(xf, 1)
        return time.perf_counter() - start, labels.ravel()
    if peer == "scipy":
        from scipy.cluster.vq import vq
        # float64: float32 loses exactness for 4-byte elements up to 1e6.
        xf = np.ascontiguousarray(x, dtype=np.float64)
        cf = np.ascontiguousarray(code, dtype=np.float64)
        start = time.perf_counter()
        labels, _ = vq(xf, cf, check_finite=False)
        return time.perf_counter() - start, labels
    if peer == "ckdtree":
        from scipy.spatial import cKDTree
        xf = np.ascontiguousarray(x, dtype=np.float64)
        cf = np.ascontiguousarray(code, dtype=np.float64)
        start = time.perf_counter()
        _, labels = cKDTree(cf).query(xf, k=1, workers=threads)
        return time.perf_counter() - start, labels
    if peer == "sklearn":
        from sklearn.metrics import pairwise_distances_argmin
        xf = np.ascontiguousarray(x, dtype=np.float32)
        cf = np.ascontiguousarray(code, dtype=np.float32)
        start = time.perf_counter()
        labels = pairwise_distances_argmin(xf, cf)
        return time.perf_counter() - start, labels
    raise SystemExit(f"unknown peer {peer}")


def centroids(x, labels, m):
    start = time.perf_counter()
    counts = np.bincount(labels, minlength=m)
    sums = np.empty((m, x.shape[1]))
    for e in range(x.shape[1]):
        sums[:, e] = np.bincount(labels, weights=x[:, e], minlength=m)
    with np.errstate(invalid="ignore", divide="ignore"):
        code = np.floor(sums / counts[:, None] + 0.5)
    return time.perf_counter() - start, code


def main():
    peer, data, workload = sys.argv[1:4]
    threads = int(sys.argv[4]) if len(sys.argv) > 4 else os.cpu_count()
    x = load(data, workload, "train")
    if peer == "numpy":
        labels = load(data, workload, "labels")
        m = int(labels.max()) + 1
        seconds, code = centroids(x, labels, m)
        check = int(np.nansum(code))
    else:
        seconds, labels = nearest(peer, x, load(data, workload, "code"), threads)
        check = int(np.sum(labels.astype(np.int64)))
    print(f"{seconds:.6f} {check} {blas_kernel()}")


def blas_kernel():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "unknown"
    kernels = [f"{i.get('internal_api')}:{i.get('architecture')}" for i in threadpool_info() if i.get("user_api") == "blas"]
    return ",".join(kernels) or "none"


if __name__ == "__main__":
    main()
