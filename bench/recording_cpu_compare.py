#!/usr/bin/env python3
"""Going live with the local copy against FFmpeg, in CPU time and peak memory.

Two subjects are compared with one ffmpeg that encodes the same pictures and
tone into the same two outputs as ours, encoded as ours encodes them (for the
stream, AAC 96 kbit/s and H.264 as the Studio goes live: High at its constant
bit rate with a one-second rate buffer, a key frame every 2 s; for the local copy,
H.264 High at 16 or 10 Mbit/s on average, at most 1.5 times that over any
second, and AAC 192 kbit/s into a fragmented MP4), one
run after the other (ours, ffmpeg, ours, ...); each run's CPU time (user +
system, every thread) and peak RSS are printed, the median of the rounds' CPU
ratios last. ffmpeg reads the program's pictures from a file that
program_frames wrote beforehand, so it neither draws nor composes them; ours does.

  --subject encoders (default): bench/program_copy, the two encodes and the
      copy's writer alone, both writing files as fast as they can.
  --subject studio: the whole quarzadel program with synthetic sources going
      live to a local nginx with the copy on; ffmpeg reads its inputs in real
      time, as the Studio's sources and its copy's writer take them, and
      publishes to the same nginx.
  --soak SECONDS: one studio run that long, its RSS sampled every few seconds;
      prints the samples' peak and whether they stay flat (first against last minute).

  bench/recording_cpu_compare.py [--build build] [--rounds 3] [--seconds 10] [--resolution 720p|1080p]
                                 [--subject encoders|studio] [--soak SECONDS]
"""
import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from studio_runs import COPY_BPS, FPS, SIZES, STREAM_BPS, copy_output, resident_mib, stream_output

ROOT = pathlib.Path(__file__).resolve().parent.parent

# What the soak asks of the studio: a peak at most this, and the last minute's
# mean within this fraction of the first minute's once the encoders have settled.
SOAK_PEAK_MIB = 250
SOAK_GROWTH = 0.10


def run(command, log, env=None):
    """Runs a command to its end; returns (exit status, CPU seconds, peak RSS in MiB)."""
    process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(process.pid, 0)
    return os.waitstatus_to_exitcode(status), usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def studio_command(build, url, key, resolution, seconds):
    return [str(build / "Quarzadel" / "quarzadel"), "-SyntheticSources", "YES", "-SkipPermissionPrompts", "YES",
            "-OpenStudio", key, "-OpenStudioTitle", "Bench", "-RTMPServerOverride", url, "-StreamCodec", "h264",
            "-StudioResolution", resolution, "-StudioRecordLocally", "YES", "-Events", "json",
            "-Scenario", f"golive; wait {seconds:g}; stop; close"]


def studio_env(folder):
    env = dict(os.environ)
    for name, sub in (("XDG_CONFIG_HOME", "config"), ("XDG_STATE_HOME", "state"), ("XDG_VIDEOS_DIR", "videos")):
        env[name] = str(folder / sub)
    return env


def soak(build, url, resolution, seconds, work):
    folder = work / "soak"
    folder.mkdir()
    command = studio_command(build, url, "soak", resolution, seconds)
    samples = []
    began = time.monotonic()
    with open(work / "soak.log", "w") as log:
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   env=studio_env(folder))
        while process.poll() is None:
            rss = resident_mib(process.pid)
            if rss is not None:
                samples.append((time.monotonic() - began, rss))
            time.sleep(5)
    if process.returncode != 0:
        sys.stderr.write((work / "soak.log").read_text()[-3000:])
        sys.exit(f"recording_cpu_compare: the soak run failed with status {process.returncode}")
    copies = list((folder / "videos" / "Quarzadel").glob("*.mp4"))
    size = sum(c.stat().st_size for c in copies) / 2**20
    print(f"recording_cpu_compare: soak of {seconds:g} s live at {resolution} with the copy on, "
          f"RSS every 5 s ({len(samples)} samples), copy {size:.0f} MiB")
    for at, rss in samples[:: max(1, len(samples) // 20)]:
        print(f"  {at:6.0f} s {rss:6.1f} MiB")
    peak = max(r for _, r in samples)
    first = [r for at, r in samples if 60 <= at < 120] or [r for _, r in samples[: len(samples) // 4]]
    last = [r for at, r in samples if at >= samples[-1][0] - 60]
    growth = statistics.mean(last) / statistics.mean(first) - 1
    print(f"peak RSS {peak:.1f} MiB (target at most {SOAK_PEAK_MIB}); mean RSS in the second minute "
          f"{statistics.mean(first):.1f} MiB, in the last minute {statistics.mean(last):.1f} MiB "
          f"({growth:+.1%}, flat within {SOAK_GROWTH:.0%}: {'yes' if abs(growth) <= SOAK_GROWTH else 'no'})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--resolution", choices=sorted(SIZES), default=None,
                        help="default 1080p for the encoders and the soak, 720p for the studio")
    parser.add_argument("--subject", choices=("encoders", "studio"), default="encoders")
    parser.add_argument("--soak", type=float, metavar="SECONDS")
    args = parser.parse_args()
    studio = args.subject == "studio" or args.soak
    resolution = args.resolution or ("720p" if args.subject == "studio" and not args.soak else "1080p")
    build = pathlib.Path(args.build).resolve()
    width, height = SIZES[resolution]
    copy_kbps = COPY_BPS[resolution] // 1000
    for tool in ("ffmpeg",) + (("nginx",) if studio else ()):
        if not shutil.which(tool):
            sys.exit(f"recording_cpu_compare: {tool} is not installed")
    ours_tool = build / ("Quarzadel/quarzadel" if studio else "bench/program_copy")
    frames_tool = build / "bench" / "program_frames"
    for path in (ours_tool, frames_tool):
        if not path.exists():
            sys.exit(f"recording_cpu_compare: build {path.name} first")

    work = pathlib.Path(tempfile.mkdtemp(prefix="recording-cpu-"))
    peer = ROOT / "tests" / "peers" / "nginx-rtmp.sh"
    url = None
    try:
        if studio:
            env = subprocess.run([str(peer), "start", str(work / "peer")], capture_output=True, text=True, check=True)
            port = dict(line.split("=", 1) for line in env.stdout.split())["PORT"]
            url = f"rtmp://127.0.0.1:{port}/live"
        if args.soak:
            soak(build, url, resolution, args.soak, work)
            return

        frames = work / "program.nv12"
        with open(frames, "wb") as out:
            subprocess.run([str(frames_tool), "--resolution", resolution, "--seconds", str(args.seconds)],
                           stdout=out, check=True)
        tone = "if(lt(mod(t\\,2)\\,0.1)\\,0.5*sin(2*PI*1000*t)\\,0)"
        # The studio's pictures and sound come in real time, and its copy's
        # writer takes them as they come: ffmpeg reads both inputs at their own
        # rate then. program_copy runs on virtual time as fast as its encoders
        # go, and so does ffmpeg against it.
        pace = ["-re"] if studio else []
        inputs = [
            "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-y",
            *pace, "-f", "rawvideo", "-pix_fmt", "nv12", "-s", f"{width}x{height}", "-framerate", str(FPS),
            "-i", str(frames),
            *pace, "-f", "lavfi", "-i", f"aevalsrc={tone}|{tone}:s=48000:c=stereo",
        ]
        # Both subjects encode the stream as the studio goes live (High at its
        # constant bit rate with a one-second buffer), to nginx or, as
        # program_copy does, into a file; the copy as the studio's.
        target = f"{url}/reference" if studio else str(work / "reference-stream.flv")
        stream = ["-t", f"{args.seconds:g}", *stream_output(resolution, target)]
        reference = [*inputs, *stream,
                     "-t", f"{args.seconds:g}", *copy_output(resolution, work / "reference-copy.mp4")]
        results = {"ours": [], "ffmpeg": []}
        print(f"recording_cpu_compare: {'the whole studio' if studio else 'the encoders'} at {resolution}, "
              f"stream {STREAM_BPS[resolution] // 1000} kbit/s + copy {copy_kbps} kbit/s, "
              f"{args.seconds:g} s per run, "
              f"{args.rounds} rounds, alternating")
        with open(work / "runs.log", "w") as log:
            for round_ in range(1, args.rounds + 1):
                for name in ("ours", "ffmpeg"):
                    out = work / f"{name}-{round_}"
                    out.mkdir()
                    env = None
                    if name == "ffmpeg":
                        command = reference
                    elif studio:
                        command, env = studio_command(build, url, f"ours{round_}", resolution, args.seconds), studio_env(out)
                    else:
                        command = [str(ours_tool), "--out", str(out), "--resolution", resolution,
                                   "--seconds", str(args.seconds)]
                    status, cpu, rss = run(command, log, env)
                    if status != 0:
                        log.flush()
                        sys.stderr.write((work / "runs.log").read_text()[-3000:])
                        sys.exit(f"recording_cpu_compare: {name} failed with status {status}")
                    if studio and name == "ours" and not list((out / "videos" / "Quarzadel").glob("*.mp4")):
                        sys.exit("recording_cpu_compare: the studio wrote no copy")
                    results[name].append((cpu, rss))
                    print(f"  round {round_}: {name:6} {cpu:6.2f} s CPU, peak RSS {rss:6.1f} MiB", flush=True)
                    shutil.rmtree(out, ignore_errors=True)
        ours_cpu = statistics.median(c for c, _ in results["ours"])
        reference_cpu = statistics.median(c for c, _ in results["ffmpeg"])
        paired = statistics.median(o / r for (o, _), (r, _) in zip(results["ours"], results["ffmpeg"]))
        print(f"median CPU: ours {ours_cpu:.2f} s, ffmpeg {reference_cpu:.2f} s; "
              f"peak RSS ours {max(r for _, r in results['ours']):.1f} MiB, "
              f"ffmpeg {max(r for _, r in results['ffmpeg']):.1f} MiB")
        print(f"ours / ffmpeg CPU, median of the rounds' ratios: {paired:.2f}"
              f"{' (target at most 1.2)' if studio else ''}")
    finally:
        if url:
            subprocess.run([str(peer), "stop", str(work / "peer")], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
