#!/usr/bin/env python3
"""Going live with the local copy against FFmpeg, in CPU time and peak memory.

Runs bench/program_copy (the program picture and the test tone encoded twice:
for the stream, H.264 Main and AAC 96 kbit/s, and for the local copy, H.264 High
at 16 or 10 Mbit/s and AAC 192 kbit/s into a fragmented MP4) and one ffmpeg that
encodes the same pictures and tone into the same two outputs, one after the
other (ours, ffmpeg, ours, ...), and prints the CPU time (user + system, every
thread) and the peak RSS of each run and the ratio of the median CPU times.
ffmpeg reads the program's pictures from a file that program_frames wrote
beforehand, so it neither draws nor composes them; ours does.

  bench/recording_cpu_compare.py [--build build] [--rounds 3] [--seconds 10] [--resolution 720p|1080p]
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

# Stream and copy rates in kbit/s per size.
SIZES = {"720p": (1280, 720, 2500, 10000), "1080p": (1920, 1080, 4500, 16000)}
FPS = 30


def run(command, log):
    """Runs a command to its end; returns (exit status, CPU seconds, peak RSS in MiB)."""
    process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    return os.waitstatus_to_exitcode(status), usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--resolution", choices=sorted(SIZES), default="1080p")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    width, height, stream_kbps, copy_kbps = SIZES[args.resolution]
    if not shutil.which("ffmpeg"):
        sys.exit("recording_cpu_compare: ffmpeg is not installed")
    ours_tool, frames_tool = build / "bench" / "program_copy", build / "bench" / "program_frames"
    for path in (ours_tool, frames_tool):
        if not path.exists():
            sys.exit(f"recording_cpu_compare: build {path.name} first")

    work = pathlib.Path(tempfile.mkdtemp(prefix="recording-cpu-"))
    try:
        frames = work / "program.nv12"
        with open(frames, "wb") as out:
            subprocess.run([str(frames_tool), "--resolution", args.resolution, "--seconds", str(args.seconds)],
                           stdout=out, check=True)
        tone = "if(lt(mod(t\\,2)\\,0.1)\\,0.5*sin(2*PI*1000*t)\\,0)"
        h264 = ["-preset", "veryfast", "-tune", "zerolatency", "-g", str(2 * FPS), "-keyint_min", str(2 * FPS),
                "-sc_threshold", "0", "-bf", "0"]
        reference = [
            "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-y",
            "-f", "rawvideo", "-pix_fmt", "nv12", "-s", f"{width}x{height}", "-r", str(FPS), "-i", str(frames),
            "-t", str(args.seconds), "-f", "lavfi", "-i", f"aevalsrc={tone}|{tone}:s=48000:c=stereo",
            "-map", "0:v", "-map", "1:a", "-c:v", "libx264", *h264, "-profile:v", "main", "-b:v", f"{stream_kbps}k",
            "-c:a", "aac", "-b:a", "96k", "-f", "flv", str(work / "reference-stream.flv"),
            "-map", "0:v", "-map", "1:a", "-c:v", "libx264", *h264, "-profile:v", "high", "-b:v", f"{copy_kbps}k",
            "-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "bt709",
            "-c:a", "aac", "-b:a", "192k", "-movflags", "+frag_keyframe+empty_moov+default_base_moof",
            "-frag_duration", "2000000", "-f", "mp4", str(work / "reference-copy.mp4"),
        ]
        results = {"ours": [], "ffmpeg": []}
        print(f"recording_cpu_compare: {args.resolution}, stream {stream_kbps} kbit/s + copy {copy_kbps} kbit/s, "
              f"{args.seconds:g} s per run, {args.rounds} rounds, alternating")
        with open(work / "runs.log", "w") as log:
            for round_ in range(1, args.rounds + 1):
                for name in ("ours", "ffmpeg"):
                    out = work / f"{name}-{round_}"
                    out.mkdir()
                    command = ([str(ours_tool), "--out", str(out), "--resolution", args.resolution,
                                "--seconds", str(args.seconds)] if name == "ours" else reference)
                    status, cpu, rss = run(command, log)
                    if status != 0:
                        log.flush()
                        sys.stderr.write((work / "runs.log").read_text()[-3000:])
                        sys.exit(f"recording_cpu_compare: {name} failed with status {status}")
                    results[name].append((cpu, rss))
                    print(f"  round {round_}: {name:6} {cpu:6.2f} s CPU, peak RSS {rss:6.1f} MiB", flush=True)
                    shutil.rmtree(out, ignore_errors=True)
        ours_cpu = statistics.median(c for c, _ in results["ours"])
        reference_cpu = statistics.median(c for c, _ in results["ffmpeg"])
        print(f"median CPU: ours {ours_cpu:.2f} s, ffmpeg {reference_cpu:.2f} s; ours / ffmpeg = "
              f"{ours_cpu / reference_cpu:.2f}; peak RSS ours {max(r for _, r in results['ours']):.1f} MiB")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
