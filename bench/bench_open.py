#!/usr/bin/env python3
"""Wall time from starting the program on a file to its first drawn view (its first "freqWidth="
trace line), and the CPU time the program took until then, for the demo repeated to each length.
Run it in a virtual X server:
    xvfb-run -a -s "-screen 0 1280x800x24" bench/bench_open.py build/cantorel [minutes ...]
The machine's load average is printed beside the figures: wall time counts other programs' turns."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import wave

DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "demo_44100Hz_mono_pcm16.wav")


def repeated_demo(folder, minutes):
    """The demo over and over, whole copies, to the nearest length to `minutes`."""
    with wave.open(DEMO, "rb") as demo:
        params = demo.getparams()
        frames = demo.readframes(params.nframes)
    copies = max(1, round(60.0 * minutes * params.framerate / params.nframes))
    path = os.path.join(folder, "demo_%gmin_44100Hz_mono_pcm16.wav" % minutes)
    with wave.open(path, "wb") as out:
        out.setparams(params)
        for _ in range(copies):
            out.writeframes(frames)
    return path, copies * params.nframes / params.framerate


def cpu_seconds(pid):
    """User and system time of a running process, from the kernel's count of clock ticks."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def first_drawn_view(program, path, home):
    """Wall and CPU seconds until the first drawn view."""
    environment = dict(os.environ, HOME=home)
    started = time.monotonic()
    process = subprocess.Popen([program, path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=environment, cwd=home)
    try:
        for line in process.stdout:
            if line.startswith(b"freqWidth="):
                return time.monotonic() - started, cpu_seconds(process.pid)
        raise RuntimeError("the program ended without drawing a view")
    finally:
        process.kill()
        process.wait()


def main():
    program = os.path.abspath(sys.argv[1])
    lengths = [float(m) for m in sys.argv[2:]] or [10.0]
    folder = tempfile.mkdtemp(prefix="bench_open_")
    try:
        for minutes in lengths:
            path, seconds = repeated_demo(folder, minutes)
            with open(path, "rb") as warm:  # from the page cache, as a file opened before
                while warm.read(1 << 24):
                    pass
            load = os.getloadavg()[0]
            wall, cpu = first_drawn_view(program, path, folder)
            print("%5g min (%.1f s of audio): first drawn view after %.2f s wall, %.2f s CPU of the program "
                  "(load average %.1f on %d cores)" % (minutes, seconds, wall, cpu, load, os.cpu_count()), flush=True)
            os.remove(path)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
