#!/usr/bin/env python3
"""Times the hdiutil stand-in's attach against `7zz x` of the same image."""

import os
import random
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
from bench_setup import parse_options, scratch_folder  # noqa: E402
from interleaved import Contender, compare  # noqa: E402

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


def make_tree(root, rng):
    """About 64 MB that does not compress: a program, and resources of many sizes."""
    contents = os.path.join(root, "Bench.app", "Contents")
    os.makedirs(os.path.join(contents, "MacOS"))
    with open(os.path.join(contents, "MacOS", "Bench"), "wb") as program:
        program.write(rng.randbytes(24_000_000))
    os.chmod(os.path.join(contents, "MacOS", "Bench"), 0o755)
    for folder in range(20):
        resources = os.path.join(contents, "Resources", f"group{folder}")
        os.makedirs(resources)
        for item in range(100):
            with open(os.path.join(resources, f"resource{item}.dat"), "wb") as resource:
                resource.write(rng.randbytes(rng.randint(10_000, 30_000)))
    os.symlink("MacOS/Bench", os.path.join(contents, "Bench"))


def main():
    options = parse_options("--hdiutil")
    with scratch_folder("tavik-dmg-bench-", options.work) as work:
        make_tree(os.path.join(work, "tree"), random.Random(64))
        image = os.path.join(work, "Bench.dmg")
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-dmg"), os.path.join(work, "tree"), image,
                        "--volume-name", "Bench"], check=True)
        print(f"image: {os.path.getsize(image) / 1e6:.1f} MB in {work}")
        mount_point = os.path.join(work, "mount")
        extracted = os.path.join(work, "extracted")
        env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(work, "runtime"))
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)

        def attach(_):
            subprocess.run([options.hdiutil, "attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mount_point,
                            "-noautoopen", image], check=True, env=env, stdout=subprocess.DEVNULL)
            if not os.path.isfile(os.path.join(mount_point, "Bench.app", "Contents", "MacOS", "Bench")):
                sys.exit("the attached volume is incomplete")

        def detach(_):
            subprocess.run([options.hdiutil, "detach", mount_point], check=True, env=env, stdout=subprocess.DEVNULL)

        def extract(_):
            subprocess.run(["7zz", "x", "-y", "-bd", "-bso0", "-bsp0", f"-o{extracted}", image], check=True)

        ours = Contender("hdiutil attach", attach, prepare=lambda _: os.makedirs(mount_point), clean=lambda r: (
            detach(r), os.rmdir(mount_point)))
        theirs = Contender("7zz x", extract, clean=lambda _: shutil.rmtree(extracted))
        compare(ours, theirs, options.rounds, inputs=[image], target=1.10)


if __name__ == "__main__":
    main()
