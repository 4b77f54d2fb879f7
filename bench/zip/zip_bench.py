#!/usr/bin/env python3
"""Times `tavik-zip extract` against `unzip -q` on the archives in WORK."""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
from bench_setup import parse_options  # noqa: E402
from interleaved import Contender, compare  # noqa: E402


def peak_kib(command):
    """Peak resident memory of one untimed run."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M", *command], check=True, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    return int(result.stderr.strip().splitlines()[-1])


def main():
    options = parse_options("--tool", work_required=True)

    for archive in ("bundle", "large"):
        zipfile = os.path.join(options.work, f"{archive}.zip")

        def extracting(name, command):
            out = os.path.join(options.work, f"out-{name}")
            return Contender(name, lambda _: subprocess.run(command(out), check=True, stdout=subprocess.DEVNULL),
                             prepare=lambda _: os.makedirs(out), clean=lambda _: shutil.rmtree(out))

        ours = extracting("tavik-zip", lambda out: [options.tool, "extract", zipfile, out])
        theirs = extracting("unzip -q", lambda out: ["unzip", "-q", zipfile, "-d", out])
        print(f"== {archive}.zip ({os.path.getsize(zipfile) / 1e6:.0f} MB)")
        compare(ours, theirs, options.rounds, inputs=[zipfile], target=1.0)
        for contender, command in ((ours, [options.tool, "extract", zipfile]), (theirs, ["unzip", "-q", zipfile, "-d"])):
            out = os.path.join(options.work, "out-memory")
            os.makedirs(out)
            print(f"peak memory of {contender.name}: {peak_kib(command + [out]) / 1024:.1f} MiB")
            shutil.rmtree(out)


if __name__ == "__main__":
    main()
