#!/usr/bin/env python3
"""Times tavik-copy against `cp -a` on a synthetic application bundle."""

import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def make_bundle(root, rng):
    """Lays out Bench.app: an executable, frameworks with version links,
    localisations and images. Answers (files, links, bytes)."""
    contents = os.path.join(root, "Bench.app", "Contents")
    files = links = size = 0

    def add(path, length, mode=0o644):
        nonlocal files, size
        write(path, rng.randbytes(length), mode)
        files += 1
        size += length

    def link(target, path):
        nonlocal links
        os.symlink(target, path)
        links += 1

    add(os.path.join(contents, "Info.plist"), 2_000)
    add(os.path.join(contents, "PkgInfo"), 8)
    add(os.path.join(contents, "MacOS", "Bench"), 20_000_000, 0o755)

    for index in range(6):
        name = f"Kit{index}"
        framework = os.path.join(contents, "Frameworks", f"{name}.framework")
        version = os.path.join(framework, "Versions", "A")
        add(os.path.join(version, name), 10_000_000, 0o755)
        for item in range(300):
            add(os.path.join(version, "Resources", f"resource{item}.dat"), rng.randint(1_000, 9_000))
        for item in range(100):
            add(os.path.join(version, "Headers", f"Header{item}.h"), rng.randint(500, 4_000))
        link("A", os.path.join(framework, "Versions", "Current"))
        link(f"Versions/Current/{name}", os.path.join(framework, name))
        link("Versions/Current/Resources", os.path.join(framework, "Resources"))
        link("Versions/Current/Headers", os.path.join(framework, "Headers"))

    for language in range(30):
        for item in range(50):
            add(os.path.join(contents, "Resources", f"lang{language}.lproj", f"Strings{item}.strings"),
                rng.randint(1_000, 9_000))
    for item in range(1_000):
        add(os.path.join(contents, "Resources", "Images", f"image{item}.png"), rng.randint(25_000, 75_000))
    for item in range(90):
        add(os.path.join(contents, "Resources", "Scripts", f"script{item}.sh"), rng.randint(200, 2_000), 0o755)
    return files, links, size


def describe(root):
    """Type, mode, size, modification time and link target of every item."""
    items = {}
    for folder, folders, names in os.walk(root):
        for name in folders + names:
            path = os.path.join(folder, name)
            status = os.lstat(path)
            target = os.readlink(path) if os.path.islink(path) else None
            items[os.path.relpath(path, root)] = (status.st_mode, status.st_size if target is None and
                                                  not os.path.isdir(path) else 0, status.st_mtime_ns, target)
    return items


def timed(command):
    """Wall-clock seconds and processor seconds (user + system) of one run."""
    subprocess.run(["sync"], check=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work", default=None)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()

    work = tempfile.mkdtemp(prefix="tavik-copy-bench-", dir=options.work)
    try:
        files, links, size = make_bundle(os.path.join(work, "source"), random.Random(150))
        source = os.path.join(work, "source", "Bench.app")
        print(f"bundle: {files} files, {links} links, {size / 1e6:.1f} MB in {work}")

        ours, theirs = [], []
        for round_ in range(options.rounds):
            ours_target = os.path.join(work, f"tavik-{round_}.app")
            cp_target = os.path.join(work, f"cp-{round_}.app")
            # Alternate which goes first, so neither always meets a busier disk.
            runs = [("cp", ["cp", "-a", source, cp_target]), ("tavik", [options.tool, source, ours_target])]
            if round_ % 2:
                runs.reverse()
            for name, command in runs:
                (theirs if name == "cp" else ours).append(timed(command))
            if round_ == 0 and describe(ours_target) != describe(cp_target):
                sys.exit("tavik-copy made something other than cp -a")
            shutil.rmtree(ours_target)
            shutil.rmtree(cp_target)
            print(f"round {round_ + 1}: tavik-copy {ours[-1][0]:.3f} s ({ours[-1][1]:.3f} s CPU), "
                  f"cp -a {theirs[-1][0]:.3f} s ({theirs[-1][1]:.3f} s CPU)")

        for label, index in (("wall clock", 0), ("CPU (user+system)", 1)):
            ours_median = statistics.median(run[index] for run in ours)
            theirs_median = statistics.median(run[index] for run in theirs)
            print(f"median {label}: tavik-copy {ours_median:.3f} s, cp -a {theirs_median:.3f} s, "
                  f"ratio {ours_median / theirs_median:.2f}x")
        print("target: tavik-copy at most 1.05x the time of cp -a")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
