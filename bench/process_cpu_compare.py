#!/usr/bin/env python3
"""The main job's process against FFmpeg on the same frames, in CPU time.

Runs tools/rtmpsmoke --source program (the process tools/run starts) and an
ffmpeg that encodes and publishes the same pictures and sound with the same
settings, each to a local nginx, one after the other (ours, ffmpeg, ours, ...),
and prints the CPU time (user + system, every thread) of each run and the ratio
of the medians. ffmpeg reads the program's pictures from a file that
program_frames wrote beforehand, so it neither draws nor composes them.

  bench/process_cpu_compare.py [--build build] [--rounds 5] [--seconds 10] [--resolution 720p|1080p]
                               [--smoke PATH]    (another rtmpsmoke, e.g. of an earlier build)
"""
import argparse
import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent

# What rtmpsmoke's program source publishes with: its bit rates, 30 fps, key
# frames every 2 s, AAC at 48 kHz stereo, and the H.264 encoder's own choices
# (x264 "veryfast" tuned for zero latency, Main profile, no B-frames, no scene cuts).
SIZES = {"720p": (1280, 720, 2500), "1080p": (1920, 1080, 4500)}
FPS = 30
AUDIO_KBPS = 128


def cpu_of(command, log):
    """Runs a command to its end; returns (exit status, CPU seconds of it and its threads)."""
    process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--resolution", choices=sorted(SIZES), default="720p")
    parser.add_argument("--smoke", help="the rtmpsmoke to run (default: the build's)")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    width, height, kbps = SIZES[args.resolution]
    for tool in ("ffmpeg", "nginx"):
        if not shutil.which(tool):
            sys.exit(f"process_cpu_compare: {tool} is not installed")
    smoke = pathlib.Path(args.smoke).resolve() if args.smoke else build / "tools" / "rtmpsmoke"
    frames_tool = build / "bench" / "program_frames"
    for path in (smoke, frames_tool):
        if not path.exists():
            sys.exit(f"process_cpu_compare: build {path.name} first")

    work = pathlib.Path(tempfile.mkdtemp(prefix="process-cpu-"))
    peer = ROOT / "tests" / "peers" / "nginx-rtmp.sh"
    try:
        frames = work / "program.nv12"
        with open(frames, "wb") as out:
            subprocess.run([str(frames_tool), "--resolution", args.resolution, "--seconds", str(args.seconds)],
                           stdout=out, check=True)
        env = subprocess.run([str(peer), "start", str(work / "peer")], capture_output=True, text=True, check=True)
        port = dict(line.split("=", 1) for line in env.stdout.split())["PORT"]
        url = f"rtmp://127.0.0.1:{port}/live"

        ours = [str(smoke), "--url", url, "--key", "ours", "--source", "program", "--codec", "h264",
                "--resolution", args.resolution, "--seconds", str(args.seconds)]
        tone = "if(lt(mod(t\\,2)\\,0.1)\\,0.5*sin(2*PI*1000*t)\\,0)"
        reference = [
            "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning",
            "-re", "-f", "rawvideo", "-pix_fmt", "nv12", "-s", f"{width}x{height}", "-r", str(FPS), "-i", str(frames),
            "-re", "-f", "lavfi", "-i", f"aevalsrc={tone}|{tone}:s=48000:c=stereo",
            "-t", str(args.seconds), "-map", "0:v", "-map", "1:a",
            "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-profile:v", "main",
            "-b:v", f"{kbps}k", "-g", str(2 * FPS), "-keyint_min", str(2 * FPS), "-sc_threshold", "0", "-bf", "0",
            "-c:a", "aac", "-b:a", f"{AUDIO_KBPS}k", "-ar", "48000", "-ac", "2",
            "-f", "flv", f"{url}/reference",
        ]
        times = {"ours": [], "ffmpeg": []}
        print(f"process_cpu_compare: {args.resolution} H.264 {kbps} kbit/s, {args.seconds:g} s per run, "
              f"{args.rounds} rounds, alternating")
        with open(work / "runs.log", "w") as log:
            for round_ in range(1, args.rounds + 1):
                for name, command in (("ours", ours), ("ffmpeg", reference)):
                    status, cpu = cpu_of(command, log)
                    if status != 0:
                        log.flush()
                        sys.stderr.write((work / "runs.log").read_text()[-3000:])
                        sys.exit(f"process_cpu_compare: {name} failed with status {status}")
                    times[name].append(cpu)
                    print(f"  round {round_}: {name:6} {cpu:6.2f} s CPU", flush=True)
        ours_cpu, reference_cpu = statistics.median(times["ours"]), statistics.median(times["ffmpeg"])
        # Each round's pair ran back to back: their ratio is the least disturbed by a busy machine.
        paired = statistics.median(o / r for o, r in zip(times["ours"], times["ffmpeg"]))
        print(f"median CPU: ours {ours_cpu:.2f} s, ffmpeg {reference_cpu:.2f} s; ours / ffmpeg = "
              f"{ours_cpu / reference_cpu:.2f}, median of the rounds' ratios {paired:.2f} (target at most 1.1)")
    finally:
        subprocess.run([str(peer), "stop", str(work / "peer")], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
