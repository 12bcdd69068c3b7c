#!/usr/bin/env python3
"""The multi-track mixer against FFmpeg's amix on the same four tracks, in CPU time.

Writes four stereo 48 kHz raw tracks (two 32-bit float, two 16-bit integer, so
that two need converting), then mixes them with bench/audio_mix_files and with
`ffmpeg ... -filter_complex amix=inputs=4` (32-bit float out, discarded), one
after the other (ours, ffmpeg, ours, ...), at a short and a long length. Both
processes spend some 40 ms loading their libraries whatever the length, so the
CPU time (user + system) per second of mix is the difference between the
lengths' fastest runs divided by the difference in length; whole-process times
are printed beside it.

  bench/audio_mix_compare.py [--build build] [--rounds 5] [--short 20] [--long 120]
"""
import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
TRACKS = [("f32le", 440), ("f32le", 550), ("s16le", 660), ("s16le", 880)]


def cpu_of(command):
    """Runs a command to its end; returns the CPU seconds of it and its threads."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"audio_mix_compare: {command[0]} failed: {process.stderr.read().decode()}")
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--short", type=int, default=20)
    parser.add_argument("--long", type=int, default=120)
    args = parser.parse_args()
    if not shutil.which("ffmpeg"):
        sys.exit("audio_mix_compare: ffmpeg is not installed")
    ours = pathlib.Path(args.build).resolve() / "bench" / "audio_mix_files"
    if not ours.exists():
        sys.exit("audio_mix_compare: build audio_mix_files first")

    work = pathlib.Path(tempfile.mkdtemp(prefix="audio-mix-"))
    try:
        commands = {}
        for seconds in (args.short, args.long):
            files = []
            for i, (fmt, hz) in enumerate(TRACKS):
                path = work / f"track{i}-{seconds}.{fmt}"
                subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                f"sine=frequency={hz}:sample_rate=48000:duration={seconds}",
                                "-af", "volume=0.2", "-ac", "2", "-f", fmt, str(path)], check=True)
                files.append((fmt, path))
            reference = ["ffmpeg", "-nostdin", "-v", "error"]
            for fmt, path in files:
                reference += ["-f", fmt, "-ar", "48000", "-ac", "2", "-i", str(path)]
            reference += ["-filter_complex", "amix=inputs=4:normalize=0", "-c:a", "pcm_f32le", "-f", "null", "-"]
            commands[seconds] = {"ours": [str(ours)] + [str(path) for _, path in files], "ffmpeg": reference}

        runs = {(who, s): [] for who in ("ours", "ffmpeg") for s in commands}
        for _ in range(args.rounds):
            for seconds, pair in commands.items():
                for who in ("ours", "ffmpeg"):
                    runs[(who, seconds)].append(cpu_of(pair[who]))

        span = args.long - args.short
        per_second = {who: (min(runs[(who, args.long)]) - min(runs[(who, args.short)])) / span
                      for who in ("ours", "ffmpeg")}
        print(f"CPU per second of mix, 4 stereo 48 kHz tracks, 2 converted ({args.rounds} rounds, "
              f"fastest of {args.long} s less fastest of {args.short} s):")
        for who, name in (("ours", "multi-track mixer"), ("ffmpeg", "ffmpeg amix      ")):
            whole = ", ".join(f"{min(runs[(who, s)]) * 1000:.0f} ms for {s} s" for s in commands)
            print(f"  {name}: {per_second[who] * 1000:.3f} ms   (whole process: {whole})")
        print(f"  ffmpeg / ours: {per_second['ffmpeg'] / per_second['ours']:.1f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
