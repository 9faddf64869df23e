#!/usr/bin/env python3
"""Flood benchmark: the miner's memory and its stop while the test pool floods it with lines.

    python3 tools/testpool/flood_bench.py --miner build/veltrane-miner [--seconds 10]

For each kind of flood (notifications that need no answer; requests whose answers the pool does
not read) a fresh test pool and miner are started; once the first share is accepted the flood
begins, the miner's resident memory is sampled from /proc for the given time, and the miner is
stopped with SIGINT. Prints, per flood, the memory before it, the peak during it, what the
console said of the pool, and how long the stop took. Linux only.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from control import PoolControl  # noqa: E402

SAMPLE_SECONDS = 0.1
START_SECONDS = 120  # kernel builds on a CPU device take a while


def resident_mib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def wait_for(path, needle, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with open(path, errors="replace") as output:
            if needle in output.read():
                return True
        time.sleep(SAMPLE_SECONDS)
    return False


def run_flood(miner_path, kind, seconds, work_dir):
    pool_log = os.path.join(work_dir, "flood-pool-%s.log" % kind)
    miner_log = os.path.join(work_dir, "flood-miner-%s.log" % kind)
    with open(pool_log, "w") as pool_output:
        pool = subprocess.Popen([sys.executable, os.path.join(HERE, "testpool.py"), "--port", "0"],
                                stdout=pool_output, stderr=subprocess.STDOUT)
    miner = None
    try:
        if not wait_for(pool_log, "listening on", 30):
            raise RuntimeError("the test pool did not start")
        with open(pool_log) as output:
            url = re.search(r"stratum\+tcp://\S+", output.read()).group(0)
        environment = dict(os.environ, VELTRANE_DEVICE_TYPE=os.environ.get("VELTRANE_DEVICE_TYPE", "all"))
        with open(miner_log, "w") as miner_output:
            miner = subprocess.Popen([os.path.abspath(miner_path), "-o", url, "-u", "bench", "-p", "x",
                                      "-G", "256", "-L", "64"], stdout=miner_output, stderr=subprocess.STDOUT,
                                     cwd=os.path.dirname(os.path.abspath(miner_path)), env=environment)
        if not wait_for(miner_log, " accepted (device ", START_SECONDS):
            raise RuntimeError("no share accepted; see %s" % miner_log)
        before = resident_mib(miner.pid)
        PoolControl(url).call("test_flood", kind)
        peak = before
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            peak = max(peak, resident_mib(miner.pid))
            time.sleep(SAMPLE_SECONDS)
        stop_start = time.monotonic()
        miner.send_signal(signal.SIGINT)
        code = miner.wait(60)
        stop_seconds = time.monotonic() - stop_start
        with open(miner_log, errors="replace") as output:
            said = [line.strip() for line in output if line.startswith("  [!] Pool ")]
        return before, peak, stop_seconds, code, said
    finally:
        for process in (miner, pool):
            if process and process.poll() is None:
                process.kill()
                process.wait()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--miner", required=True, help="the miner executable (its kernel file beside it)")
    parser.add_argument("--seconds", type=float, default=10.0, help="how long each flood lasts")
    parser.add_argument("--work-dir", default=".", help="where the logs go")
    arguments = parser.parse_args(argv)
    print("%-14s %12s %12s %10s %5s  %s" % ("flood", "before MiB", "peak MiB", "stop s", "exit", "pool lines"))
    for kind in ("notifications", "requests"):
        before, peak, stop_seconds, code, said = run_flood(arguments.miner, kind, arguments.seconds,
                                                           arguments.work_dir)
        print("%-14s %12.1f %12.1f %10.2f %5d  %d" % (kind, before, peak, stop_seconds, code, len(said)))
        for line in said[:3]:
            print("    " + line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
