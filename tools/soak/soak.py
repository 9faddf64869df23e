#!/usr/bin/env python3
"""Fault soak: the real miner against the test node while faults are injected every few seconds.

    python3 tools/soak/soak.py --miner build/veltrane-miner [--minutes 2] [--seed N]

The node sits behind a relay (relay.py) that times every request. Every 2 to 4 seconds one
fault is injected, each kind once in the first round: at the node HTTP 500 with and without an RPC
error body, closed connections, a template without a key, replies cut short (announced length or
chunked), endless replies, hangs, HTML error pages, a new cookie (401 until the miner reads it
again); at the relay slow replies; of the chain tip moves and submissions rejected with a reason.
At the end the miner is stopped with SIGINT and a table is printed: blocks found, blocks
accepted, found blocks that never reached a verdict at the node, the longest time the miner
stopped hashing beyond an injected outage, and its memory after the first minute and at the end.
The exit code is 0 only when every limit holds.

Whether the miner hashes is read from the CPU time of its threads (/proc): a mining process uses
the OpenCL device's threads all the time, a waiting one uses none. Linux only.
"""

import argparse
import collections
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "testnode"))

import control  # noqa: E402  (the test node's client, found through the path above)
from relay import Relay  # noqa: E402

PAYOUT_ADDRESS = "vtr1qqqqsyqcyq5rqwzqfpg9scrgwpugpzysnah89ys"
# A block about every few million hashes: several a minute on a CPU OpenCL device.
DEFAULT_TARGET = "000004" + "0" * 58
# A fault every 2 to 4 seconds.
FAULT_INTERVAL_SECONDS = (2.0, 4.0)
# Requests one fault fails at most, and the time the node answers again before the next fault.
# A found block is sent three times, a second apart, so an outage of more requests during a
# submission (two faults back to back) would lose it by the miner's design.
MAX_FAILED_REQUESTS = 2
HEALTHY_SECONDS = 3.0
MAX_STALL_SECONDS = 6.0
MAX_MEMORY_GROWTH = 0.10
MEMORY_BASELINE_SECONDS = 60.0
SAMPLE_SECONDS = 0.25
# Less CPU than this in a sample (2 % of a core) counts as not hashing.
IDLE_CPU_SECONDS = 0.005
FOUND = re.compile(r"BLOCK FOUND! Nonce=\d+ Hash=([0-9a-f]{64})")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--miner", required=True, help="the miner executable (its kernel file beside it)")
    parser.add_argument("--minutes", type=float, default=2.0)
    parser.add_argument("--seed", type=int, default=None, help="of the fault schedule (default: random)")
    parser.add_argument("--target", default=DEFAULT_TARGET, help="the node's target as 64 hex digits")
    parser.add_argument("--work-size", nargs=2, type=int, default=(8192, 64), metavar=("GLOBAL", "LOCAL"))
    parser.add_argument("--log-dir", default=None, help="where the node's and the miner's output go")
    parser.add_argument("--sanitized", action="store_true",
                        help="the miner is a sanitizer build: its memory holds the sanitizer's own "
                             "bookkeeping, so growth is shown but not judged; leaks fail its exit code")
    return parser.parse_args(argv)


class Timeline:
    """CPU samples and the miner's found blocks, in monotonic seconds."""

    def __init__(self):
        self.idle = []  # (start, end) of samples in which the miner used (almost) no CPU
        self.found = []  # pow hashes of found blocks, in order
        self.lock = threading.Lock()


def read_miner_output(stream, log, timeline, started):
    for raw in stream:
        line = raw.decode(errors="replace")
        log.write("%8.2f %s" % (time.monotonic() - started, line))
        log.flush()
        match = FOUND.search(line)
        if match:
            with timeline.lock:
                timeline.found.append(match.group(1))


def cpu_seconds(pid):
    """CPU time of all the process's threads (run time from schedstat, in nanoseconds)."""
    total = 0
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (pid, task)) as stat:
                    total += int(stat.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass  # a thread that just ended
    except OSError:
        return None
    return total / 1e9


def resident_mib(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


class FaultSchedule:
    """Picks and injects the faults."""

    # At the node: failures of the next requests, and what a restarted node does to its cookie.
    NODE_FAULTS = ("http-500", "rpc-error", "close", "missing-field", "cut-short", "cut-chunked", "endless",
                   "hang", "html", "cookie")
    # At the relay: replies held back.
    RELAY_FAULTS = ("slow",)
    # Of the chain: the tip moves, a submission is rejected with a reason.
    CHAIN_FAULTS = ("tip-move", "reject")
    KINDS = NODE_FAULTS + RELAY_FAULTS + CHAIN_FAULTS
    RPC_ERRORS = ((-28, "Loading block index..."), (-28, "Verifying blocks..."), (-10, "Veltrane is downloading blocks..."),
                  (-1, "testnode: induced failure"))
    REJECTION_REASONS = ("high-hash", "bad-txnmrklroot", "bad-cb-amount", "rejected", "inconclusive")

    def __init__(self, rng, node, relay):
        self.rng = rng
        self.node = node
        self.relay = relay
        self.counts = collections.Counter()
        self.first_round = list(self.KINDS)
        rng.shuffle(self.first_round)
        self.injected = []  # (time, kind)

    def next_kind(self):
        """Every kind once, in random order, then kinds at random: even a short soak meets each
        of them, and the memory after the first minute already holds what the largest replies
        leave behind in the allocator."""
        if not self.first_round:
            return self.rng.choice(self.KINDS)
        return self.first_round.pop()

    def inject(self):
        kind = self.next_kind()
        self.counts[kind] += 1
        self.injected.append((time.monotonic(), kind))
        rng = self.rng
        failed_requests = rng.randint(1, MAX_FAILED_REQUESTS)
        if kind == "rpc-error":
            code, message = rng.choice(self.RPC_ERRORS)
            self.node.fail_next("rpc-error", failed_requests, code=code, message=message)
        elif kind == "missing-field":
            self.node.fail_next("missing-field", 1, field=rng.choice(("previousblockhash", "bits")))
        elif kind in ("endless", "hang"):
            # Each of these costs the miner a time-out or a 64 MiB read: one request at a time.
            self.node.fail_next(kind, 1)
        elif kind == "cookie":
            self.node.new_cookie()
        elif kind in self.NODE_FAULTS:
            self.node.fail_next(kind, failed_requests)
        elif kind == "slow":
            self.relay.slow_down(failed_requests, rng.uniform(0.5, 3.0))
        elif kind == "tip-move":
            self.node.advance_tip(rng.randint(1, 2))
        elif kind == "reject":
            self.node.fail_next("reject", 1, message=rng.choice(self.REJECTION_REASONS))

    def clear(self):
        """Cancels every fault still planned."""
        self.node.fail_next("close", 0)
        self.relay.slow_down(0, 0.0)


def merged(windows):
    result = []
    for start, end in sorted(windows):
        if result and start <= result[-1][1]:
            result[-1] = (result[-1][0], max(result[-1][1], end))
        else:
            result.append((start, end))
    return result


def longest_stall_beyond_outages(idle_samples, outages):
    """The longest stretch of idle time outside every outage window.

    A stretch right after an outage is the wait the miner keeps after a failure (5 s before the
    next template request), which is why the limit is a few seconds rather than zero.
    """
    outages = merged(outages)
    longest = 0.0
    for start, end in merged(idle_samples):
        position = start
        for outage_start, outage_end in outages:
            if outage_end <= position or outage_start >= end:
                continue
            longest = max(longest, outage_start - position)
            position = max(position, outage_end)
        longest = max(longest, end - position)
    return longest


def outages_of(relay):
    """The time the node was down for the miner: every failed request from its start to its end."""
    return [(start, end) for start, end, _, _ in relay.log.failed]


def start_node(target, cookie_path, log_path):
    log = open(log_path, "w")
    node = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "testnode", "testnode.py"),
                             "--port", "0", "--target", target, "--cookie-file", cookie_path],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    first = node.stdout.readline().decode()
    log.write(first)
    match = re.search(r"listening on (http://\S+)", first)
    if not match:
        node.kill()
        raise SystemExit("soak: the test node did not start: %r" % first)
    # The rest of the node's output goes to its log on a thread of its own.
    threading.Thread(target=lambda: [log.write(l.decode(errors="replace")) or log.flush() for l in node.stdout],
                     daemon=True).start()
    return node, match.group(1)


def main(argv=None):
    arguments = parse_arguments(argv)
    seed = arguments.seed if arguments.seed is not None else random.randrange(1 << 31)
    rng = random.Random(seed)
    log_dir = arguments.log_dir or os.path.join(os.path.dirname(os.path.abspath(arguments.miner)), "soak")
    os.makedirs(log_dir, exist_ok=True)
    duration = arguments.minutes * 60.0

    cookie_path = os.path.join(log_dir, ".cookie")
    node_process, node_url = start_node(arguments.target, cookie_path, os.path.join(log_dir, "node.log"))
    node = control.NodeClient(node_url)
    host, port = node.host, node.port
    relay = Relay(host, port).start()
    timeline = Timeline()
    miner_log = open(os.path.join(log_dir, "miner.log"), "w")
    miner_path = os.path.abspath(arguments.miner)
    environment = dict(os.environ)
    environment.setdefault("VELTRANE_DEVICE_TYPE", "all")
    miner = subprocess.Popen([miner_path, "-o", relay.url, "--rpc-cookie", cookie_path,
                              "-a", PAYOUT_ADDRESS, "-G", str(arguments.work_size[0]),
                              "-L", str(arguments.work_size[1])],
                             cwd=os.path.dirname(miner_path), env=environment,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    started = time.monotonic()
    reader = threading.Thread(target=read_miner_output, args=(miner.stdout, miner_log, timeline, started),
                              daemon=True)
    reader.start()
    print("soak: %.1f minutes, seed %d, node %s behind %s, logs in %s"
          % (arguments.minutes, seed, node_url, relay.url, log_dir), flush=True)

    schedule = FaultSchedule(rng, node, relay)
    next_fault = started + rng.uniform(*FAULT_INTERVAL_SECONDS)
    last_cpu = cpu_seconds(miner.pid)
    last_sample = started
    memory_baseline = None
    hashing_started = False
    try:
        while time.monotonic() - started < duration and miner.poll() is None:
            time.sleep(SAMPLE_SECONDS)
            now = time.monotonic()
            cpu = cpu_seconds(miner.pid)
            if cpu is not None and last_cpu is not None:
                busy = cpu - last_cpu >= IDLE_CPU_SECONDS
                # Start-up (device set-up, kernel build) is not a stall: count from the first hashing.
                hashing_started = hashing_started or busy
                if hashing_started and not busy:
                    timeline.idle.append((last_sample, now))
            last_cpu, last_sample = cpu, now
            if memory_baseline is None and now - started >= MEMORY_BASELINE_SECONDS:
                memory_baseline = resident_mib(miner.pid)
            last_failure = relay.log.failed[-1][1] if relay.log.failed else 0.0
            if now >= next_fault and now - last_failure >= HEALTHY_SECONDS:
                schedule.inject()
                next_fault = now + rng.uniform(*FAULT_INTERVAL_SECONDS)
        memory_end = resident_mib(miner.pid)
        schedule.clear()
    finally:
        exit_code = stop(miner)
        reader.join(timeout=5)
    summary = node.summary()
    relay.stop()
    node_process.send_signal(signal.SIGINT)
    try:
        node_process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        node_process.kill()

    outages = outages_of(relay)
    write_fault_log(os.path.join(log_dir, "faults.log"), started, schedule.injected, relay.log.failed)
    return report(timeline, summary, schedule.counts, outages, memory_baseline, memory_end, exit_code,
                  judge_memory=not arguments.sanitized)


def write_fault_log(path, started, injected, failed):
    """Injected faults and failed requests in time order, in seconds since the start."""
    events = [(at, "inject %s" % kind) for at, kind in injected]
    events += [(start, "failed %s: %s (%.2f s)" % (method or "?", failure, end - start))
               for start, end, failure, method in failed]
    with open(path, "w") as log:
        for at, what in sorted(events):
            log.write("%8.2f %s\n" % (at - started, what))


def stop(miner):
    """SIGINT, as Ctrl-C; the miner's exit code (None when it had to be killed)."""
    if miner.poll() is not None:
        return miner.returncode
    miner.send_signal(signal.SIGINT)
    try:
        return miner.wait(timeout=90)
    except subprocess.TimeoutExpired:
        miner.kill()
        miner.wait()
        return None


def report(timeline, summary, counts, outages, memory_baseline, memory_end, exit_code, judge_memory):
    decided = {block.get("pow_hash") for block in summary["accepted"] + summary["rejected"]}
    found = timeline.found
    without_verdict = [block for block in found if block not in decided]
    reasons = collections.Counter(block["reason"] for block in summary["rejected"])
    stall = longest_stall_beyond_outages(timeline.idle, outages)
    growth = None
    if memory_baseline and memory_end:
        growth = (memory_end - memory_baseline) / memory_baseline

    checks = []

    def row(label, value, limit=None, holds=True):
        checks.append(holds)
        verdict = "" if limit is None else ("  (%s: %s)" % (limit, "ok" if holds else "FAILED"))
        print("  %-44s %s%s" % (label, value, verdict))

    print("soak: %d faults injected: %s" % (sum(counts.values()),
                                           ", ".join("%s %d" % item for item in sorted(counts.items()))))
    row("blocks found by the miner", len(found), "must be more than 0", bool(found))
    row("blocks accepted by the node", len(summary["accepted"]))
    row("blocks rejected by the node", "%d %s" % (len(summary["rejected"]), dict(reasons) if reasons else ""))
    row("found blocks without a verdict at the node", len(without_verdict), "must be 0", not without_verdict)
    for block in without_verdict:
        print("    no verdict: %s" % block)
    row("longest stall beyond an injected outage", "%.1f s" % stall, "must be under %.0f s" % MAX_STALL_SECONDS,
        stall < MAX_STALL_SECONDS)
    row("miner memory after the first minute",
        "%.1f MiB" % memory_baseline if memory_baseline else "n/a (run shorter than a minute)")
    if growth is None:
        row("miner memory at the end", "%.1f MiB" % memory_end if memory_end else "n/a")
    else:
        row("miner memory at the end", "%.1f MiB (%+.1f %%)" % (memory_end, 100 * growth),
            "growth under %d %%" % (100 * MAX_MEMORY_GROWTH) if judge_memory else "sanitizer build, not judged",
            growth < MAX_MEMORY_GROWTH or not judge_memory)
    row("miner exit code after SIGINT", exit_code, "must be 0", exit_code == 0)
    passed = all(checks)
    print("soak: %s" % ("passed" if passed else "FAILED"))
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
