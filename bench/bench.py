#!/usr/bin/python3
"""Times mirvo against its peers on the generated workloads; prints one table.

    /usr/bin/python3 bench/bench.py --mirvo PATH [--data DIR] [--runs 3]
        [--peers faiss,sklearn,scipy,ckdtree] [--baseline PATH ...] [--pipes] [NAME ...]

Every measurement runs in a process of its own; the table gives the median
wall time of --runs runs and the largest peak resident memory (maximum
resident set size as GNU time reports it from wait4). Peers report their own compute time (loading and
type conversion excluded) and are taken at their best: the faster of one
thread and all cores. Their answers are checked against mirvo's (the sum of
the partition indices). mirvo is timed end to end on the files: process
start, reading both inputs, computing, writing the output and exit; it is
started straight from here (posix_spawn) for the time, and once more under
GNU time for the memory, whose own start would otherwise be counted. `cat`
is timed the same way. Each --baseline (it may be given more than once) adds
a column for another mirvo binary (an earlier build), run in turn with mirvo
(one run of each at a time, so that a change of the machine's load touches
both alike). --pipes times every mirvo binary once more with both inputs
through FIFOs fed by `cat` (the time includes the two `cat`s).
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from generate import WORKLOADS  # noqa: E402

ENV = dict(os.environ, OMP_NUM_THREADS=str(os.cpu_count()), OPENBLAS_NUM_THREADS=str(os.cpu_count()))


def threads_env(threads):
    return dict(ENV, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads))


def run(argv, stdout=subprocess.PIPE, env=None):
    """Wall time, peak memory in MB and standard output of one process.

    The process is started by GNU time, whose own small image is what the
    process replaces: a child forked from this Python process would carry
    Python's resident size into its ru_maxrss."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report.name, *argv], stdout=stdout,
                                 stderr=subprocess.PIPE, env=env or ENV)
        out = child.stdout.read() if stdout == subprocess.PIPE else b""
        err = child.stderr.read()
        status = child.wait()
        wall = time.perf_counter() - start
        if status != 0:
            raise SystemExit(f"{' '.join(argv)} failed: {err.decode(errors='replace')}")
        peak_kb = float(report.read().split()[-1])
    return wall, peak_kb / 1024.0, out.decode(errors="replace")


def spawned(argv):
    """Wall time of one process started straight from here, its output
    discarded."""
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, ENV, file_actions=[(os.POSIX_SPAWN_DUP2, sink.fileno(), 1)])
        _, status = os.waitpid(pid, 0)
        wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{' '.join(argv)} failed")
    return wall


def piped(argv):
    """Wall time of mirvo with both of its inputs (the last two arguments)
    through FIFOs, each fed by a `cat` of its file started with it."""
    *options, first, second = argv
    with tempfile.TemporaryDirectory() as folder, open(os.devnull, "wb") as sink:
        fifos = [os.path.join(folder, "in." + path.rsplit(".", 1)[1]) for path in (first, second)]
        for fifo in fifos:
            os.mkfifo(fifo)
        start = time.perf_counter()
        pids = [os.posix_spawn(options[0], options + fifos, ENV, file_actions=[(os.POSIX_SPAWN_DUP2, sink.fileno(), 1)])]
        for path, fifo in zip((first, second), fifos):
            pids.append(os.posix_spawn("/usr/bin/cat", ["/usr/bin/cat", path], ENV,
                                       file_actions=[(os.POSIX_SPAWN_OPEN, 1, fifo, os.O_WRONLY, 0)]))
        statuses = [os.waitpid(pid, 0)[1] for pid in pids]
        wall = time.perf_counter() - start
    if any(os.waitstatus_to_exitcode(status) != 0 for status in statuses):
        raise SystemExit(f"{' '.join(argv)} through pipes failed")
    return wall


def medians_in_turn(runs, argvs, timer):
    """Median times of several commands run in turn, one run of each at a
    time."""
    times = [[] for _ in argvs]
    for _ in range(runs):
        for i, argv in enumerate(argvs):
            times[i].append(timer(argv))
    return [statistics.median(t) for t in times]


def median_of(runs, argv, own_time=False, env=None):
    """Median time and peak memory: the peers' own compute time, or the wall
    time of the whole process (then run once more for the memory)."""
    times, peak, last = [], 0.0, ""
    for _ in range(runs):
        if own_time:
            wall, rss, out = run(argv, env=env)
            times.append(float(out.split()[0]))
            peak, last = max(peak, rss), out
        else:
            times.append(spawned(argv))
    if not own_time:
        _, peak, last = run(argv, env=env)
    return statistics.median(times), peak, last


def mirvo_args(binary, data, name):
    second = "pa" if WORKLOADS[name][4] == "pa" else "cb"
    return [binary, "-Q0", "-O", os.path.join(data, f"{name}.ts"), os.path.join(data, f"{name}.{second}")]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mirvo", required=True)
    parser.add_argument("--baseline", action="append", default=[])
    parser.add_argument("--pipes", action="store_true")
    parser.add_argument("--data", default=os.path.join(HERE, "data"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--peers", default="faiss,sklearn,scipy,ckdtree")
    parser.add_argument("names", nargs="*", default=list(WORKLOADS))
    args = parser.parse_args()
    peers = [p for p in args.peers.split(",") if p]

    rows = []
    for name in args.names:
        n, d, m, width, kind = WORKLOADS[name]
        label = f"{name} N={n:,} D={d} M={m} {width}B {'pa->cb' if kind == 'pa' else 'cb->pa'}"
        binaries = [args.mirvo] + args.baseline
        argvs = [mirvo_args(binary, args.data, name) for binary in binaries]
        for argv in argvs:
            spawned(argv)  # warm the caches
        times = medians_in_turn(args.runs, argvs, spawned)
        memory = [run(argv)[1] for argv in argvs]
        row = {"label": label, "mirvo": (times[0], memory[0]), "peers": {},
               "baselines": list(zip(times[1:], memory[1:]))}
        if args.pipes:
            row["pipes"] = medians_in_turn(args.runs, argvs, piped)
        names = ["numpy"] if kind == "pa" else peers
        answer = partition_sum(args.data, name) if kind == "cb" else None
        for peer in names:
            best = None
            for threads in sorted({1, os.cpu_count()}):
                argv = ["/usr/bin/python3", os.path.join(HERE, "peers.py"), peer, args.data, name, str(threads)]
                t, mem, out = median_of(args.runs, argv, own_time=True, env=threads_env(threads))
                if best is None or t < best[0]:
                    best = (t, mem, out, threads)
            t, mem, out, threads = best
            _, check, blas = out.split()[:3]
            note = f"{threads} thread{'s' if threads > 1 else ''}, BLAS {blas}"
            if answer is not None and int(check) != answer:
                note += ", differs from the exact answer"
            row["peers"][peer] = (t, mem, note)
        if kind == "pa":
            inputs = [os.path.join(args.data, f"{name}.{ext}") for ext in ("ts", "pa")]
            cat = ["/usr/bin/cat", *inputs]
            spawned(cat)  # warm the cache
            row["cat"] = statistics.median(spawned(cat) for _ in range(args.runs))
        row["budget"] = (4 * d + 48) * n / 2**20
        rows.append(row)
        print_row(row, sys.stderr)
    print_table(rows, args)


def partition_sum(data, name):
    """Sum of the 0-based partition indices in mirvo's output of a workload."""
    with open(os.path.join(data, f"{name}.pa"), "rb") as f:
        lines = f.read().split(b"\n")
    separator = lines.index(b"-" * 37)
    body = [int(line) for line in lines[separator + 1:] if line]
    return sum(body) - len(body)


def print_row(row, stream):
    parts = [f"mirvo {row['mirvo'][0]:.3f}s"] + [f"{p} {t:.3f}s ({note})" for p, (t, _, note) in row["peers"].items()]
    print(row["label"] + ": " + ", ".join(parts), file=stream, flush=True)


def print_table(rows, args):
    load = os.getloadavg()[0]
    print(f"\nmachine: {cpu_name()}, {os.cpu_count()} cores; load average at the end {load:.2f}; "
          f"median of {args.runs} runs; times in seconds, peak memory in MB")
    head = "| workload | mirvo (peak MB) |"
    for binary in args.baseline:
        head += f" {binary} (peak MB) |"
    if args.pipes:
        head += " through pipes: mirvo" + "".join(f", {binary}" for binary in args.baseline) + " |"
    head += " peers: compute time (peak MB) | fastest peer | ratio mirvo / fastest | memory budget MB |"
    print(head)
    print("|" + "---|" * (head.count("|") - 1))
    for row in rows:
        t, mem = row["mirvo"]
        cells = [row["label"], f"{t:.3f} ({mem:.0f})"]
        for bt, bmem in row["baselines"]:
            cells.append(f"{bt:.3f} ({bmem:.0f})")
        if args.pipes:
            cells.append(", ".join(f"{pt:.3f}" for pt in row["pipes"]))
        cells.append(", ".join(f"{p} {pt:.3f} ({pm:.0f}; {note})" for p, (pt, pm, note) in row["peers"].items()))
        if row["peers"]:
            fastest = min(row["peers"].items(), key=lambda item: item[1][0])
            cells.append(f"{fastest[0]} {fastest[1][0]:.3f}")
            ratio = f"{t / fastest[1][0]:.3f}"
        else:  # --peers with none of them
            cells.append("-")
            ratio = "-"
        if "cat" in row:
            ratio += f"; cat of inputs {row['cat']:.3f}, mirvo / cat {t / row['cat']:.1f}"
        cells.append(ratio)
        cells.append(f"{row['budget']:.0f} + codebook")
        print("| " + " | ".join(cells) + " |")


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown processor"


if __name__ == "__main__":
    main()
