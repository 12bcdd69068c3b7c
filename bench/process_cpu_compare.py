#!/usr/bin/env python3
"""The Studio going live against ffmpeg publishing the same picture and sound, in CPU time.

A first run of the Studio (quarzadel with synthetic sources, going live to a
loopback nginx with its local copy on) gives the input: its local copy,
decoded once to raw pictures and sound, so ffmpeg neither decodes nor draws.
ffmpeg reads it as each Studio run makes it: the first 2 s once (while the
sources start, the picture stands still and costs the encoder next to
nothing), then the rest over and over, through a pipe.
Then pairs run one after the other (ours, ffmpeg, ours, ...): the Studio live
for --seconds, and ffmpeg reading that input in real time and encoding it
as the Studio does (x264 High, veryfast, constant bit rate at the Studio's rate
with a one-second rate buffer, no B-frames, a key frame every 2 s, 30 fps; AAC
96 kbit/s, 48 kHz stereo) to the same nginx, as many pictures as the Studio's
run of the pair just streamed (the Studio streams a little past --seconds while
it stops), so that both sides encode the same. Each run's CPU seconds (user +
system of the process tree), voluntary context switches and peak RSS are
printed; the median of the pairs' CPU ratios (ours / ffmpeg) comes last.

  --copy  the Studio records its local copy too; ffmpeg then encodes twice,
          the second time as the copy (High at 10 or 16 Mbit/s on average, held
          to 1.5 times that over any second as the Studio holds it; AAC
          192 kbit/s) into a fragmented MP4 file.

  --together  each pair's two runs start at once and run side by side on the
          same cores, so that the rest of the machine's load, which moves from
          minute to minute on a shared machine, falls on both alike; ffmpeg
          then sends as many pictures as the Studio's run before streamed.

  --busy-start N  each run starts while N busy loops hold the cores, for its first 20 s (both sides alike):
          the peak RSS of a start on a busy machine, and the last RSS read while live, to show whether it came
          back down.

  bench/process_cpu_compare.py [--build build] [--pairs 5] [--seconds 10] [--resolution 720p|1080p] [--copy]
                               [--busy-start N] [--together]
"""
import argparse
import contextlib
import fcntl
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading

from studio_runs import (AUDIO_RATE, FPS, ROOT, SIZES, STREAM_BPS, BusyMachine, Ingest, copy_output, local_copies,
                         measured, measured_together, stream_output, studio_command, studio_env)

# The first run only provides pictures: its start once, then the rest looped for longer runs.
START_SECONDS = 2
LOOPED_SECONDS_AT_MOST = 8


def fail(message, log_path=None):
    if log_path and log_path.exists():
        sys.stderr.write(log_path.read_text()[-3000:])
    sys.exit(f"process_cpu_compare: {message}")


def record_input(build, ingest, resolution, seconds, work):
    """Returns the raw pictures and sound of a first Studio run's local copy."""
    folder = work / "input"
    folder.mkdir()
    log_path = work / "input.log"
    with open(log_path, "w") as log:
        usage = measured(studio_command(build, ingest.url, "input", resolution, seconds, True), log,
                         studio_env(folder))
    copies = local_copies(folder)
    if usage.status != 0 or not copies:
        fail(f"the first Studio run failed (status {usage.status}, {len(copies)} local copies)", log_path)
    pictures, sound = work / "input.nv12", work / "input.pcm"
    subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", str(copies[-1]),
                    "-map", "0:v:0", "-f", "rawvideo", "-pix_fmt", "nv12", str(pictures),
                    "-map", "0:a:0", "-f", "s16le", "-ar", str(AUDIO_RATE), "-ac", "2", str(sound)],
                   check=True)
    shutil.rmtree(folder, ignore_errors=True)
    picture_start, sound_start = start_bytes(resolution)
    if pictures.stat().st_size <= picture_start or sound.stat().st_size <= sound_start:
        fail(f"the first run's local copy has no pictures or no sound past its first {START_SECONDS} s")
    return pictures, sound


def start_bytes(resolution):
    """The size of the first START_SECONDS of the raw pictures and of the raw sound."""
    width, height = SIZES[resolution]
    return START_SECONDS * FPS * width * height * 3 // 2, START_SECONDS * AUDIO_RATE * 4


class StartThenLoop:
    """A pipe that gives a raw input's first bytes once and then the rest over
    and over, until its reader closes it. A reader that never comes (ffmpeg
    failed first) is stood in for on leaving, so that the writer ends."""

    def __init__(self, source, start_bytes, path):
        self.source, self.start_bytes, self.path = source, start_bytes, path
        self.thread = threading.Thread(target=self._write, daemon=True)

    def __enter__(self):
        os.mkfifo(self.path)
        self.thread.start()
        return self.path

    def __exit__(self, *_):
        if self.thread.is_alive():
            with contextlib.suppress(OSError):
                os.close(os.open(self.path, os.O_RDONLY | os.O_NONBLOCK))
        self.thread.join()
        self.path.unlink()

    def _write(self):
        # In blocks, never the whole start at once: a child's peak RSS, as wait4
        # gives it, counts this process's own peak when it started the child.
        chunk = 1 << 20
        with contextlib.suppress(BrokenPipeError), open(self.path, "wb", buffering=0) as out, \
                open(self.source, "rb") as source:
            with contextlib.suppress(OSError):
                fcntl.fcntl(out.fileno(), fcntl.F_SETPIPE_SZ, chunk)  # fewer, larger reads for ffmpeg
            left = self.start_bytes
            while left > 0 and (block := source.read(min(chunk, left))):
                out.write(block)
                left -= len(block)
            while True:
                source.seek(self.start_bytes)
                while block := source.read(chunk):
                    out.write(block)


def ffmpeg_inputs(pictures, sound, resolution, folder):
    """The pipes ffmpeg reads its pictures and sound from, in one context."""
    picture_start, sound_start = start_bytes(resolution)
    stack = contextlib.ExitStack()
    paths = (stack.enter_context(StartThenLoop(pictures, picture_start, folder / "pictures.nv12")),
             stack.enter_context(StartThenLoop(sound, sound_start, folder / "sound.pcm")))
    return stack, paths


def busy(loops):
    return BusyMachine(loops) if loops else contextlib.nullcontext()


def recorded(ingest, name, pair, usage, log, log_path):
    """The pictures the ingest recorded of a run that must have succeeded."""
    if usage.status != 0:
        log.flush()
        fail(f"{name} failed with status {usage.status}", log_path)
    count = streamed_pictures(ingest.folder / "record" / f"{name}{pair}.flv")
    if not count:
        fail(f"the ingest recorded no pictures of {name}'s stream")
    return count


def streamed_pictures(recording):
    """The number of pictures in the ingest's recording of a stream, or None."""
    out = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                          "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", str(recording)],
                         capture_output=True, text=True)
    return int(out.stdout.strip()) if out.returncode == 0 and out.stdout.strip().isdigit() else None


def ffmpeg_command(pictures, sound, resolution, seconds, url, copy_path):
    width, height = SIZES[resolution]
    command = [
        "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-y",
        # Real time, as the Studio's sources come.
        "-re", "-f", "rawvideo", "-pix_fmt", "nv12", "-s", f"{width}x{height}",
        "-framerate", str(FPS), "-i", str(pictures),
        "-re", "-f", "s16le", "-ar", str(AUDIO_RATE), "-ac", "2", "-i", str(sound),
        "-t", f"{seconds:g}", *stream_output(resolution, url),
    ]
    if copy_path:
        command += ["-t", f"{seconds:g}", *copy_output(resolution, copy_path)]
    return command


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--pairs", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--resolution", choices=sorted(SIZES), default="720p")
    parser.add_argument("--copy", action="store_true", help="the Studio's local copy on, ffmpeg's second encode")
    parser.add_argument("--busy-start", type=int, default=0, metavar="N",
                        help="N busy loops during the first 20 s of each run")
    parser.add_argument("--together", action="store_true",
                        help="each pair's two runs side by side instead of one after the other")
    args = parser.parse_args()
    if args.pairs < 1 or not args.seconds > 0 or args.busy_start < 0:
        parser.error("--pairs and --seconds must be positive, --busy-start not negative")
    build = pathlib.Path(args.build).resolve()
    for tool in ("ffmpeg", "nginx"):
        if not shutil.which(tool):
            fail(f"{tool} is not installed")
    if not (build / "Quarzadel" / "quarzadel").exists():
        fail("build quarzadel first")

    work = pathlib.Path(tempfile.mkdtemp(prefix="process-cpu-"))
    try:
        with Ingest(work / "peer") as ingest:
            input_seconds = START_SECONDS + min(args.seconds, LOOPED_SECONDS_AT_MOST)
            pictures, sound = record_input(build, ingest, args.resolution, input_seconds, work)
            print(f"process_cpu_compare: the Studio against ffmpeg at {args.resolution}, H.264 "
                  f"{STREAM_BPS[args.resolution] / 1000:g} kbit/s constant{' + local copy' if args.copy else ''}, "
                  f"{args.seconds:g} s live per run, {args.pairs} pairs, "
                  f"{'side by side' if args.together else 'alternating'}"
                  f"{f', each started under {args.busy_start} busy loops' if args.busy_start else ''}", flush=True)
            runs = {"ours": [], "ffmpeg": []}
            # The pictures the Studio streams past --seconds while it stops, as its last run did.
            overshoot = (streamed_pictures(ingest.folder / "record" / "input.flv") or 0) - round(input_seconds * FPS)
            log_path = work / "runs.log"
            with open(log_path, "w") as log:
                for pair in range(1, args.pairs + 1):
                    folders = {name: work / f"{name}-{pair}" for name in runs}
                    for folder in folders.values():
                        folder.mkdir()
                    ours = (studio_command(build, ingest.url, f"ours{pair}", args.resolution, args.seconds, args.copy),
                            log, studio_env(folders["ours"]))

                    def theirs(count):
                        return (ffmpeg_command(*pipes, args.resolution, count / FPS, f"{ingest.url}/ffmpeg{pair}",
                                               folders["ffmpeg"] / "copy.mp4" if args.copy else None), log, None)

                    counts = {}
                    inputs, pipes = ffmpeg_inputs(pictures, sound, args.resolution, folders["ffmpeg"])
                    with inputs:
                        if args.together:
                            # ffmpeg cannot wait for this run's count: it sends as many as the Studio's last run.
                            with busy(args.busy_start):
                                usages = dict(zip(runs, measured_together(
                                    [ours, theirs(round(args.seconds * FPS) + max(0, overshoot))], args.seconds)))
                        else:
                            with busy(args.busy_start):
                                usages = {"ours": measured(*ours, live_seconds=args.seconds)}
                            counts["ours"] = recorded(ingest, "ours", pair, usages["ours"], log, log_path)
                            with busy(args.busy_start):
                                usages["ffmpeg"] = measured(*theirs(counts["ours"]), live_seconds=args.seconds)
                    if args.copy and usages["ours"].status == 0 and not local_copies(folders["ours"]):
                        fail("the Studio wrote no local copy")
                    for name, usage in usages.items():
                        count = counts.get(name) or recorded(ingest, name, pair, usage, log, log_path)
                        if name == "ours":
                            overshoot = count - round(args.seconds * FPS)
                        runs[name].append(usage)
                        print(f"  pair {pair}: {name:6} {usage.cpu:7.2f} s CPU, {count:5d} pictures, "
                              f"{usage.voluntary_switches:7d} "
                              f"voluntary switches, peak RSS {usage.peak_rss_mib:6.1f} MiB, "
                              f"last {usage.last_rss_mib:6.1f} MiB", flush=True)
                    for folder in folders.values():
                        shutil.rmtree(folder, ignore_errors=True)
        for name, usages in runs.items():
            print(f"median {name:6}: {statistics.median(u.cpu for u in usages):.2f} s CPU, "
                  f"{statistics.median(u.voluntary_switches for u in usages):.0f} voluntary switches, "
                  f"peak RSS {max(u.peak_rss_mib for u in usages):.1f} MiB")
        # Each pair ran back to back or side by side: their ratio is the least disturbed by a busy machine.
        ratios = [o.cpu / r.cpu for o, r in zip(runs["ours"], runs["ffmpeg"])]
        switches = statistics.median(o.voluntary_switches / r.voluntary_switches
                                     for o, r in zip(runs["ours"], runs["ffmpeg"]))
        print(f"ours / ffmpeg voluntary switches, median of the pairs' ratios: {switches:.2f}")
        print(f"ours / ffmpeg CPU per pair: {min(ratios):.3f} to {max(ratios):.3f}")
        ratio = statistics.median(ratios)
        print(f"ours / ffmpeg CPU, median of the pairs' ratios: {ratio:.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
