"""Runs two commands in turn, round after round, and reports medians and spread.

Every run starts from the same state: the previous round's writes are flushed
(`sync`), so no run pays for another's writeback; where the benchmark may (as
root), the page cache is dropped, so no run inherits the previous rounds'
cached output or memory the host is still reclaiming; then the inputs are read
once, so every run finds them, and only them, in the page cache. The order alternates from
round to round, so neither command always meets a busier disk. The spread of
a command is (slowest - fastest) / median; past 25 % the figures are too
noisy to compare, and the report says so.
"""

import os
import resource
import statistics
import subprocess
import time

NOISY_SPREAD = 0.25


def warm(paths):
    """Reads every file under the paths, so that they are in the page cache."""
    for path in paths:
        files = [path] if os.path.isfile(path) else (
            os.path.join(folder, name) for folder, _, names in os.walk(path) for name in names)
        for name in files:
            if os.path.islink(name):
                continue
            with open(name, "rb") as data:
                while data.read(1 << 20):
                    pass


def drop_page_cache():
    """Empties the page cache when allowed; answers whether it could."""
    try:
        with open("/proc/sys/vm/drop_caches", "w") as control:
            control.write("3\n")
        return True
    except OSError:
        return False


def timed(run):
    """Wall-clock and processor seconds (user + system, of child processes) of one call."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    run()
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def spread(values):
    return (max(values) - min(values)) / statistics.median(values)


class Contender:
    """One side of the comparison: `run` does the timed work; `prepare` and
    `clean` run untimed before and after it. `run` may answer a dict of step
    names to seconds, reported as medians too."""

    def __init__(self, name, run, prepare=None, clean=None, inputs=None):
        self.name = name
        self.run = run
        self.prepare = prepare or (lambda round_: None)
        self.clean = clean or (lambda round_: None)
        # Inputs of its own that `prepare` makes for a round, read into the
        # page cache like the shared ones.
        self.inputs = inputs or (lambda round_: [])
        self.walls, self.cpus, self.steps = [], [], []


def compare(ours, theirs, rounds, inputs=(), target=None):
    """Runs both contenders `rounds` times, interleaved; prints each round,
    the medians, the ratio and the spread. Answers the ratio of medians."""
    if rounds < 5:
        raise SystemExit("at least five rounds are needed for a median and a spread")
    for round_ in range(rounds):
        order = [ours, theirs] if round_ % 2 == 0 else [theirs, ours]
        for contender in order:
            contender.prepare(round_)
            subprocess.run(["sync"], check=True)
            cache_dropped = drop_page_cache()
            warm(list(inputs) + contender.inputs(round_))
            answer = []
            wall, cpu = timed(lambda: answer.append(contender.run(round_)))
            contender.walls.append(wall)
            contender.cpus.append(cpu)
            contender.steps.append(answer[0] if isinstance(answer[0], dict) else {})
            contender.clean(round_)
        print(f"round {round_ + 1}: " + ", ".join(
            f"{c.name} {c.walls[-1]:.3f} s ({c.cpus[-1]:.3f} s CPU)" for c in (ours, theirs)), flush=True)

    ratio = statistics.median(ours.walls) / statistics.median(theirs.walls)
    for contender in (ours, theirs):
        line = (f"{contender.name}: median {statistics.median(contender.walls):.3f} s wall "
                f"({statistics.median(contender.cpus):.3f} s CPU), spread {spread(contender.walls) * 100:.0f} %")
        if spread(contender.walls) > NOISY_SPREAD:
            line += " - WIDER THAN 25 %: too noisy to compare"
        print(line)
        names = dict.fromkeys(name for steps in contender.steps for name in steps)
        for name in names:
            values = [steps[name] for steps in contender.steps if name in steps]
            print(f"  {name}: median {statistics.median(values):.3f} s, spread {spread(values) * 100:.0f} %"
                  if statistics.median(values) >= 0.001 else f"  {name}: median {statistics.median(values):.3f} s")
    print(f"ratio of medians {ours.name}/{theirs.name}: {ratio:.2f}x wall" + (f" (target at most {target:.2f}x)"
                                                                             if target else "")
          + f", {statistics.median(ours.cpus) / statistics.median(theirs.cpus):.2f}x CPU")
    print("page cache dropped before every run" if cache_dropped
          else "page cache NOT dropped between runs (needs root): later rounds may differ")
    print(f"load average while measuring: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    return ratio
