#!/usr/bin/env python3
"""Times tavik-copy against `cp -a` on a synthetic application bundle."""

import os
import random
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
from bench_setup import parse_options, scratch_folder  # noqa: E402
from interleaved import Contender, compare  # noqa: E402


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


def main():
    options = parse_options("--tool")
    with scratch_folder("tavik-copy-bench-", options.work) as work:
        files, links, size = make_bundle(os.path.join(work, "source"), random.Random(150))
        source = os.path.join(work, "source", "Bench.app")
        print(f"bundle: {files} files, {links} links, {size / 1e6:.1f} MB in {work}")

        def target(name, round_):
            return os.path.join(work, f"{name}-{round_}.app")

        def copy_with(name, command):
            return Contender(name, lambda r: subprocess.run(command + [source, target(name, r)], check=True),
                             clean=lambda r: shutil.rmtree(target(name, r)))

        ours = copy_with("tavik-copy", [options.tool])
        theirs = copy_with("cp -a", ["cp", "-a"])
        # An untimed first round, which also shows both make the same copy.
        ours.run("check")
        theirs.run("check")
        if describe(target("tavik-copy", "check")) != describe(target("cp -a", "check")):
            sys.exit("tavik-copy made something other than cp -a")
        ours.clean("check")
        theirs.clean("check")
        compare(ours, theirs, options.rounds, inputs=[source], target=1.05)


if __name__ == "__main__":
    main()
