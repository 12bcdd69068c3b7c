#!/usr/bin/env python3
"""CPU and start-up of publishing, against ffmpeg. First the time from launch to a published stream on a local nginx: tools/publishdemo
(RTMPPublisher: connect, createStream, publish until "NetStream.Publish.Start")
against the ffmpeg command line publishing a test picture and tone with the
same encoder settings (libx264 CBR at the 720p maximum, AAC 96 kbit/s at 48 kHz,
key frames every 2 s). ffmpeg opens its RTMP output only once the server has
answered the publish, and then prints "Output #0"; publishdemo prints its "live"
state at the same moment. Both include process start; alternating runs, the
median of each is printed.

Then the CPU time (user + system, every thread) of a whole process per second
of stream, each publishing for --seconds (ours: the synthetic program through
RTMPPublisher; ffmpeg: its drawn test picture and tone, same encoder settings).

  bench/publisher_start_compare.py [--build build] [--rounds 7] [--seconds 10]
"""
import argparse
import json
import os
import pathlib
import resource
import statistics
import subprocess
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent


def until(command, matches, timeout=20.0):
    began = time.monotonic()
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    elapsed = None
    try:
        for line in proc.stdout:
            if matches(line):
                elapsed = time.monotonic() - began
                break
            if time.monotonic() - began > timeout:
                break
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
    return elapsed


# publishdemo's own clock: from start() (its "connecting" state) to "live".
inside = []


def cpu_seconds(command):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def live_line(line):
    try:
        value = json.loads(line)
    except ValueError:
        return False
    if value.get("event") == "state" and value.get("state") == "connecting":
        live_line.began = value["t"]
    if value.get("event") == "state" and value.get("state") == "live":
        inside.append(value["t"] - live_line.began)
        return True
    return False


def ffmpeg(target, seconds):
    return ["ffmpeg", "-hide_banner", "-re", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30",
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
            "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-b:v", "1843k",
            "-minrate", "1843k", "-maxrate", "1843k", "-bufsize", "1843k", "-g", "60",
            "-c:a", "aac", "-b:a", "96k", "-ar", "48000", "-t", str(seconds), "-f", "flv", target]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--seconds", type=int, default=10)
    args = parser.parse_args()
    demo = pathlib.Path(args.build) / "tools" / "publishdemo"
    peers = ROOT / "tests" / "peers"
    with tempfile.TemporaryDirectory(prefix="quarzadel-start-") as work:
        out = subprocess.run([str(peers / "nginx-rtmp.sh"), "start", work + "/nginx"], check=True,
                             capture_output=True, text=True,
                             env=dict(os.environ, QZ_BINARY_DIR=args.build)).stdout
        port = [l.split("=", 1)[1] for l in out.splitlines() if l.startswith("PORT=")][0]
        url = f"rtmp://127.0.0.1:{port}/live"
        ours, theirs = [], []
        try:
            for i in range(args.rounds):
                t = until([str(demo), "--url", url, "--key", f"ours{i}", "--seconds", "3",
                           "--resolution", "720p"], live_line)
                if t is not None:
                    ours.append(t)
                t = until(ffmpeg(f"{url}/theirs{i}", 3), lambda l: l.startswith("Output #0"))
                if t is not None:
                    theirs.append(t)
            ours_cpu, theirs_cpu = [], []
            for i in range(max(1, args.rounds // 2)):
                ours_cpu.append(cpu_seconds([str(demo), "--url", url, "--key", f"cpu{i}", "--seconds",
                                             str(args.seconds), "--resolution", "720p"]) / args.seconds)
                theirs_cpu.append(cpu_seconds(ffmpeg(url + f"/cpuff{i}", args.seconds)) / args.seconds)
        finally:
            subprocess.run([str(peers / "nginx-rtmp.sh"), "stop", work + "/nginx"], capture_output=True)
    print(f"publishdemo launch to live: median {statistics.median(ours) * 1000:.0f} ms over {len(ours)} runs")
    print(f"publishdemo start() to live: median {statistics.median(inside) * 1000:.0f} ms")
    print(f"ffmpeg launch to published: median {statistics.median(theirs) * 1000:.0f} ms over {len(theirs)} runs")
    a, b = statistics.median(ours_cpu), statistics.median(theirs_cpu)
    print(f"CPU per stream second: publishdemo {a:.3f} s, ffmpeg {b:.3f} s, ratio {a / b:.2f}")


if __name__ == "__main__":
    main()
