#!/usr/bin/env python3
"""Where the Studio's wakes go: voluntary context switches per thread while live.

Runs the Studio (synthetic sources, 720p by default) live to a loopback nginx,
reads every thread's voluntary_ctxt_switches once the stream is steady and
again --seconds later, and prints the difference per kind of thread (threads
of one kind summed, with their count), largest first, and the process total.
The threads carry no names: gdb, attached once after the second reading, tells
them apart by their stacks (runtime workers, timer thread, network thread,
x264's threads, main thread, other).

  bench/thread_wakes.py [--build build | --binary PATH] [--seconds 10] [--settle 6] [--resolution 720p]
"""
import argparse
import collections
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

from studio_runs import ROOT, SIZES, Ingest, studio_command, studio_env


def switches(pid):
    """Voluntary switches of each live thread of the process: {tid: (name, count)}."""
    out = {}
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            name = (task / "comm").read_text().strip()
            for line in (task / "status").read_text().splitlines():
                if line.startswith("voluntary_ctxt_switches:"):
                    out[task.name] = (name, int(line.split()[1]))
        except OSError:
            pass  # the thread ended meanwhile
    return out


# First match wins; a stack that matches none is "other".
KINDS = (("x264", "libx264"), ("pool worker", "ThreadRuntime(int)::$_0"), ("timer thread", "ThreadRuntime(int)::$_1"),
         ("network thread", "NetworkThread"), ("main thread", "runMainLoop"))


def kinds(pid):
    """{tid: kind} from one gdb look at every thread's stack."""
    if not shutil.which("gdb"):
        return {}
    out = subprocess.run(["gdb", "-p", str(pid), "-batch", "-ex", "thread apply all bt 16"], capture_output=True,
                         text=True, timeout=60).stdout
    result = {}
    for block in out.split("\nThread ")[1:]:
        head = block.split("\n", 1)[0]
        if "(LWP " not in head:
            continue
        tid = head.split("(LWP ", 1)[1].split(")", 1)[0]
        result[tid] = next((kind for kind, mark in KINDS if mark in block), "other")
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--binary", help="a quarzadel binary other than the build's")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--settle", type=float, default=6, help="seconds from launch to the first reading")
    parser.add_argument("--resolution", choices=sorted(SIZES), default="720p")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    work = pathlib.Path(tempfile.mkdtemp(prefix="thread-wakes-"))
    try:
        with Ingest(work / "peer") as ingest:
            command = studio_command(build, ingest.url, "wakes", args.resolution, args.settle + args.seconds + 4, False)
            if args.binary:
                command[0] = args.binary
            folder = work / "run"
            folder.mkdir()
            with open(work / "run.log", "w") as log:
                process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                           env=studio_env(folder))
                try:
                    time.sleep(args.settle)
                    before = switches(process.pid)
                    time.sleep(args.seconds)
                    after = switches(process.pid)
                    labels = kinds(process.pid)
                finally:
                    process.wait(timeout=args.seconds + 30)
        if process.returncode != 0:
            sys.stderr.write((work / "run.log").read_text()[-3000:])
            sys.exit(f"thread_wakes: the Studio failed with status {process.returncode}")
        per_name = collections.defaultdict(lambda: [0, 0])
        for tid, (name, count) in after.items():
            kind = labels.get(tid, name)
            per_name[kind][0] += count - before.get(tid, (name, 0))[1]
            per_name[kind][1] += 1
        total = sum(n for n, _ in per_name.values())
        print(f"thread_wakes: voluntary switches over {args.seconds:g} s of steady live at {args.resolution}")
        for name, (count, threads) in sorted(per_name.items(), key=lambda kv: -kv[1][0]):
            print(f"  {name:24} {count:8d}  ({threads} thread{'s' if threads > 1 else ''})")
        print(f"  {'total':24} {total:8d}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
