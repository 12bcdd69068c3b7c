"""What the CPU comparisons share: the Studio's command line and surroundings,
the loopback ingest, measured runs of process trees (one, or several side by side), and the ffmpeg
arguments that encode as the Studio does.
"""
import os
import pathlib
import subprocess
import time
from dataclasses import dataclass

ROOT = pathlib.Path(__file__).resolve().parent.parent
PEER = ROOT / "tests" / "peers" / "nginx-rtmp.sh"
FPS = 30
AUDIO_RATE = 48000

# The Studio's live video rate at each size (its starting and highest rate; on
# loopback the rate controller has no reason to lower it), and its local copy's.
STREAM_BPS = {"720p": 1_843_200, "1080p": 2_867_200}
COPY_BPS = {"720p": 10_000_000, "1080p": 16_000_000}
SIZES = {"720p": (1280, 720), "1080p": (1920, 1080)}
STREAM_AUDIO_BPS = 96_000
COPY_AUDIO_BPS = 192_000


@dataclass
class Usage:
    status: int
    cpu: float  # user + system seconds of the process and every child it waited for
    voluntary_switches: int
    peak_rss_mib: float
    last_rss_mib: float  # the last resident size read while live: shows whether a peak came back down


def resident_mib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def measured(command, log, env=None, live_seconds=None):
    """Runs a command to its end and returns what it used. The last resident
    size is the last one read within live_seconds of the start, when given, so
    that it is not taken while the run closes its encoders and files."""
    return measured_together([(command, log, env)], live_seconds)[0]


def measured_together(runs, live_seconds=None):
    """Starts every (command, log, env) at once and returns what each used, in
    order, once all have ended: side by side, the machine's other load falls on all alike."""
    processes = [subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
                 for command, log, env in runs]
    started = time.monotonic()
    last_rss = [0.0] * len(processes)
    usages = [None] * len(processes)
    while True:
        for i, process in enumerate(processes):
            if usages[i] is not None:
                continue
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid:
                process.returncode = os.waitstatus_to_exitcode(status)
                usages[i] = Usage(process.returncode, usage.ru_utime + usage.ru_stime, usage.ru_nvcsw,
                                  usage.ru_maxrss / 1024, last_rss[i])
                continue
            # Read rarely, so that the reading costs the measured process nothing noticeable.
            rss = resident_mib(process.pid)
            if rss and (live_seconds is None or time.monotonic() - started < live_seconds):
                last_rss[i] = rss
        if None not in usages:
            return usages
        time.sleep(0.5)


class BusyMachine:
    """Busy loops on every core for the first seconds of a run, as a machine busy when the run starts."""

    def __init__(self, loops, seconds=20):
        self.loops, self.seconds, self.processes = loops, seconds, []

    def __enter__(self):
        self.processes = [subprocess.Popen(["timeout", str(self.seconds), "sh", "-c", "while :; do :; done"])
                          for _ in range(self.loops)]
        return self

    def __exit__(self, *_):
        for process in self.processes:
            process.kill()
            process.wait()


def studio_command(build, url, key, resolution, seconds, copy):
    return [str(build / "Quarzadel" / "quarzadel"), "-SyntheticSources", "YES", "-SkipPermissionPrompts", "YES",
            "-OpenStudio", key, "-OpenStudioTitle", "Bench", "-RTMPServerOverride", url, "-StreamCodec", "h264",
            "-StudioResolution", resolution, "-StudioRecordLocally", "YES" if copy else "NO",
            "-Scenario", f"golive; wait {seconds:g}; stop; close"]


def studio_env(folder):
    """Keeps a run's settings, session log and local copy inside its own folder."""
    env = dict(os.environ)
    for name, sub in (("XDG_CONFIG_HOME", "config"), ("XDG_STATE_HOME", "state"), ("XDG_VIDEOS_DIR", "videos")):
        env[name] = str(folder / sub)
        (folder / sub).mkdir(parents=True, exist_ok=True)
    return env


def local_copies(folder):
    return sorted((folder / "videos").rglob("*.mp4"))


class Ingest:
    """nginx with its RTMP module on loopback, stopped by its PID on leaving."""

    def __init__(self, folder):
        self.folder = folder
        self.url = None

    def __enter__(self):
        out = subprocess.run([str(PEER), "start", str(self.folder)], capture_output=True, text=True, check=True)
        values = dict(line.split("=", 1) for line in out.stdout.split())
        self.url = f"rtmp://127.0.0.1:{values['PORT']}/live"
        return self

    def __exit__(self, *_):
        subprocess.run([str(PEER), "stop", str(self.folder)], capture_output=True)


def x264_as_studio(bps, constant):
    """libx264 as the Studio sets it up: veryfast, no picture waits for another
    (no B-frames, no look-ahead, threads share each picture), a key frame every
    2 s and none at scene cuts, High profile. At constant bit rate the rate
    buffer holds one second at that rate; at an average rate (the local copy)
    the Studio still bounds any one second to 1.5 times the average."""
    args = ["-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-profile:v", "high",
            "-g", str(2 * FPS), "-keyint_min", str(2 * FPS), "-sc_threshold", "0", "-bf", "0", "-r", str(FPS),
            "-b:v", str(bps)]
    limit = bps if constant else bps * 3 // 2
    args += ["-maxrate", str(limit), "-bufsize", str(limit)]
    return args + ["-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "bt709"]


def aac(bps):
    return ["-c:a", "aac", "-b:a", str(bps), "-ar", str(AUDIO_RATE), "-ac", "2"]


def stream_output(resolution, url):
    return ["-map", "0:v", "-map", "1:a", *x264_as_studio(STREAM_BPS[resolution], True), *aac(STREAM_AUDIO_BPS),
            "-f", "flv", url]


def copy_output(resolution, path):
    return ["-map", "0:v", "-map", "1:a", *x264_as_studio(COPY_BPS[resolution], False), *aac(COPY_AUDIO_BPS),
            "-movflags", "+frag_keyframe+empty_moov+default_base_moof", "-frag_duration", "2000000",
            "-f", "mp4", str(path)]
