#!/usr/bin/env python3
"""Resident memory across reconnects.

A publisher (publishdemo, or the whole Studio with synthetic sources) publishes
to a loopback nginx through a relay of ours that cuts every connection a few
seconds after it was accepted, so that the publisher reconnects over and over.
The script follows the publisher's resident size and prints its peak over the
first live run and over the run after N reconnects, and their ratio: memory
that climbs with each reconnect shows as a ratio well above 1.

    bench/reconnect_memory.py [--subject publishdemo|studio|both] [--reconnects 100]
                              [--cut-after 2.5] [--resolution 1080p|720p] [--copy]
                              [--build build] [--env NAME=VALUE ...]

--copy records the Studio's local copy too; --env passes a variable to the
subject (GLIBC_TUNABLES=..., to compare with the allocator's settings forced).
Exit status 1 when a subject's last run peaks more than 10 % above its first.
"""
import argparse
import os
import pathlib
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from studio_runs import ROOT, Ingest, resident_mib, studio_command, studio_env

LIMIT = 1.10


class CuttingRelay:
    """Accepts connections on a loopback port, relays each to the ingest, and
    cuts both sides `cut_after` seconds after accepting it. `on_cut(n, bytes)`
    runs just before the n-th cut (from 1), with the bytes relayed to the ingest."""

    def __init__(self, upstream_port, cut_after, on_cut):
        self.upstream_port, self.cut_after, self.on_cut = upstream_port, cut_after, on_cut
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.cuts = 0
        self.lock = threading.Lock()
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.closed = True
        self.listener.close()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._relay, args=(client,), daemon=True).start()

    def _relay(self, client):
        try:
            upstream = socket.create_connection(("127.0.0.1", self.upstream_port))
        except OSError:
            client.close()
            return
        sent = [0]
        done = threading.Event()

        def pump(source, target, count):
            try:
                while True:
                    data = source.recv(65536)
                    if not data:
                        break
                    target.sendall(data)
                    if count:
                        sent[0] += len(data)
            except OSError:
                pass
            done.set()

        threading.Thread(target=pump, args=(client, upstream, True), daemon=True).start()
        threading.Thread(target=pump, args=(upstream, client, False), daemon=True).start()
        ended_early = done.wait(self.cut_after)
        if not ended_early and not self.closed:
            with self.lock:
                self.cuts += 1
                n = self.cuts
            self.on_cut(n, sent[0])
        for s in (client, upstream):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()


def publishdemo_command(build, url, resolution):
    return [str(build / "tools" / "publishdemo"), "--url", url, "--key", "reconnects", "--seconds", "100000",
            "--resolution", resolution, "--codec", "h264"]


def measure(name, command, env, ingest_port, args):
    """Runs one subject until N reconnects; returns the peak resident size of its
    first live run and of its last one (the period between cut N and cut N+1)."""
    peaks = {}
    period_peak = [0.0]
    finished = threading.Event()
    process = None

    def on_cut(n, sent):
        rss = resident_mib(process.pid) or 0.0
        peak = max(period_peak[0], rss)
        period_peak[0] = 0.0
        peaks[n] = (peak, sent)
        if n == 1 or n % 10 == 0 or n == args.reconnects + 1:
            print(f"  {name}: cut {n}: {rss:.1f} MiB resident, {peak:.1f} MiB at most since the cut before, "
                  f"{sent / 1e3:.0f} kB relayed", flush=True)
        if n >= args.reconnects + 1:
            finished.set()

    relay = CuttingRelay(ingest_port, args.cut_after, on_cut)
    url = f"rtmp://127.0.0.1:{relay.port}/bench"
    with tempfile.TemporaryFile() as log:
        process = subprocess.Popen(command(url), stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   env=env)
        deadline = time.monotonic() + (args.reconnects + 1) * (args.cut_after + 10) + 60
        while not finished.is_set() and process.poll() is None and time.monotonic() < deadline:
            period_peak[0] = max(period_peak[0], resident_mib(process.pid) or 0.0)
            finished.wait(0.25)
        alive = process.poll() is None
        relay.close()
        if alive:
            process.send_signal(signal.SIGTERM)
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        if not finished.is_set():
            log.seek(0)
            sys.stderr.write(log.read()[-4000:].decode(errors="replace"))
            raise SystemExit(f"{name}: only {len(peaks)} cuts ({'timed out' if alive else 'it ended'})")
    quiet = [n for n, (_, sent) in peaks.items() if sent < 10_000]
    if quiet:
        print(f"  {name}: {len(quiet)} connections relayed under 10 kB (not live before the cut)")
    return peaks[1][0], peaks[args.reconnects + 1][0]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--subject", choices=["publishdemo", "studio", "both"], default="both")
    parser.add_argument("--reconnects", type=int, default=100)
    parser.add_argument("--cut-after", type=float, default=2.5, help="seconds from accepting to cutting")
    parser.add_argument("--resolution", choices=["720p", "1080p"], default="1080p")
    parser.add_argument("--copy", action="store_true", help="the Studio records its local copy too")
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--env", action="append", default=[], help="NAME=VALUE for the subject")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()

    results = []
    with tempfile.TemporaryDirectory(prefix="reconnect-memory-") as scratch:
        scratch = pathlib.Path(scratch)
        with Ingest(scratch / "nginx") as ingest:
            ingest_port = int(ingest.url.split(":")[2].split("/")[0])
            subjects = ["publishdemo", "studio"] if args.subject == "both" else [args.subject]
            for name in subjects:
                env = studio_env(scratch / name) if name == "studio" else dict(os.environ)
                for pair in args.env:
                    key, _, value = pair.partition("=")
                    env[key] = value
                if name == "studio":
                    # Long enough never to stop by itself; the script ends it.
                    command = lambda url: studio_command(build, url, "reconnects", args.resolution, 100000, args.copy)
                else:
                    command = lambda url: publishdemo_command(build, url, args.resolution)
                print(f"{name}: {args.reconnects} reconnects, cut {args.cut_after:g} s after each connect", flush=True)
                first, last = measure(name, command, env, ingest_port, args)
                results.append((name, first, last))

    failed = False
    print()
    print(f"{'subject':12} {'first run':>10} {'after N':>10} {'ratio':>7}")
    for name, first, last in results:
        ratio = last / first
        failed |= ratio > LIMIT
        print(f"{name:12} {first:9.1f}M {last:9.1f}M {ratio:7.3f}")
    print(f"(peak resident MiB of the first live run, up to the first cut, and of the run after N = "
          f"{args.reconnects} reconnects, from cut N to cut N+1)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
