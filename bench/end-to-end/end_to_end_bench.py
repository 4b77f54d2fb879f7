#!/usr/bin/env python3
"""Times Tavik's handling of a downloaded ZIP against unzip plus cp -a, with
the time of each of Tavik's steps read from its log as the lines appear."""

import os
import random
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "copy"))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
from copy_bench import make_bundle  # noqa: E402
from bench_setup import parse_options, scratch_folder  # noqa: E402
from interleaved import Contender, compare  # noqa: E402

# The log line that ends each step, in order. The timed run ends with the
# copy; clean-up is waited for right after, untimed, and counted from then
# until the download is in the trash (the working folder goes right after,
# unlogged).
STEPS = [
    ("detection", "Found ZIP archive at "),
    ("extraction", "Found 1 application(s)"),
    ("copy or move", "Copied application from "),
    ("clean-up", "Trashed handled file from "),
]


class LogFollower:
    """Reads a growing log from where it last stopped, noting when lines appear."""

    def __init__(self, path):
        self.log = open(path, errors="replace")
        self.log.seek(0, os.SEEK_END)
        self.pending = ""

    def wait_for_steps(self, steps, start, timeout, required=True):
        """Seconds of each of the steps, each from the end of the one before.
        A step not logged in time stops the benchmark, or, when not required,
        is left out."""
        times, step, previous = {}, 0, start
        deadline = time.monotonic() + timeout
        while step < len(steps):
            if time.monotonic() > deadline:
                if required:
                    sys.exit(f"tavik never logged {steps[step][1]!r}")
                print(f"tavik did not log {steps[step][1]!r} within {timeout} s")
                return times
            self.pending += self.log.read()
            lines = self.pending.split("\n")
            self.pending = lines.pop()
            now = time.monotonic()
            for line in lines:
                if step < len(steps) and steps[step][1] in line:
                    times[steps[step][0]] = now - previous
                    previous = now
                    step += 1
            time.sleep(0.002)
        return times


def wait_for(condition, timeout, interval=0.005):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return condition()


def log_contains(path, text):
    with open(path, errors="replace") as log:
        return text in log.read()


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    args = parse_options("--build", work=False)
    with scratch_folder("tavik-e2e-bench-", os.path.expanduser("~")) as work:
        prefix = os.path.join(work, "prefix")
        subprocess.run(["cmake", "--install", args.build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
        source = os.path.join(work, "source")
        files, links, size = make_bundle(source, random.Random(7))
        archive = os.path.join(work, "Bench.zip")
        subprocess.run(["zip", "-qry", archive, "Bench.app"], cwd=source, check=True)
        print(f"bundle: {files} files, {links} links, {size / 1e6:.0f} MB; archive {os.path.getsize(archive) / 1e6:.0f} MB")

        home = os.path.join(work, "home")
        downloads = os.path.join(home, "Downloads")
        applications = os.path.join(home, "Applications")
        runtime = os.path.join(work, "runtime")
        for folder in (downloads, applications, runtime, os.path.join(work, "tmp")):
            os.makedirs(folder)
        os.chmod(runtime, 0o700)
        env = {
            "PATH": f"{prefix}/bin:/usr/bin:/bin", "HOME": home, "XDG_CONFIG_HOME": f"{home}/.config",
            "XDG_DATA_HOME": f"{home}/.local/share", "XDG_DATA_DIRS": f"{prefix}/share:/usr/share",
            "XDG_RUNTIME_DIR": runtime, "TMPDIR": os.path.join(work, "tmp"), "TAVIK_LOG": "stderr",
            "TAVIK_LOG_LEVEL": "debug", "LANG": "C.UTF-8",
        }
        bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                             env=env, check=True, capture_output=True, text=True).stdout.split()
        env["DBUS_SESSION_BUS_ADDRESS"], bus_pid = bus[0], int(bus[1])
        tavik = None
        try:
            subprocess.run(["tavik", "setup", "--destination", applications, "--watch", downloads], env=env, check=True,
                           stdout=subprocess.DEVNULL)
            listing = subprocess.run(["tavik", "sources", "list"], env=env, check=True, capture_output=True, text=True)
            folder_id = next(line.split("\t")[0] for line in listing.stdout.splitlines() if line.split("\t")[1] == downloads)
            # The bundle's program is random bytes: do not try to open it.
            subprocess.run(["tavik", "sources", "set", folder_id, "ApplicationCopiedAction", "alwaysAsk"], env=env, check=True)
            log_path = os.path.join(work, "tavik.log")
            log = open(log_path, "w")
            tavik = subprocess.Popen(["tavik", "--headless"], env=env, stdout=log, stderr=log, stdin=subprocess.DEVNULL)
            if not wait_for(lambda: log_contains(log_path, "Started watching " + downloads), 60):
                sys.exit("tavik did not start watching")

            follower = LogFollower(log_path)
            target = os.path.join(applications, "Bench.app")
            scratch = os.path.join(work, "baseline")

            def baseline(_):
                os.makedirs(os.path.join(scratch, "unzipped"))
                os.makedirs(os.path.join(scratch, "copied"))
                subprocess.run(["unzip", "-q", archive, "-d", os.path.join(scratch, "unzipped")], check=True)
                subprocess.run(["cp", "-a", os.path.join(scratch, "unzipped", "Bench.app"),
                                os.path.join(scratch, "copied")], check=True)

            def download(round_):
                return os.path.join(work, f"Bench-{round_}.zip")

            def handle(round_):
                # Timed until the application is in place; clean-up is waited
                # for untimed and reported as a step.
                start = time.monotonic()
                os.rename(download(round_), os.path.join(downloads, os.path.basename(download(round_))))
                return follower.wait_for_steps(STEPS[:-1], start, 600)

            def check_and_remove(_):
                # Only a configuration that trashes handled files logs the last step.
                ours.steps[-1].update(follower.wait_for_steps(STEPS[-1:], time.monotonic(), 60, required=False))
                if not os.path.isfile(os.path.join(target, "Contents", "MacOS", "Bench")):
                    sys.exit("the copy is incomplete")
                shutil.rmtree(target)

            ours = Contender("tavik", handle, prepare=lambda r: shutil.copyfile(archive, download(r)),
                             clean=check_and_remove, inputs=lambda r: [download(r)])
            theirs = Contender("unzip -q + cp -a", baseline, clean=lambda _: shutil.rmtree(scratch))
            compare(ours, theirs, args.rounds, inputs=[archive], target=0.35)
            print("(tavik runs as a service started before the rounds: its CPU time is not in the CPU figures)")

            time.sleep(2)
            ticks_before = cpu_ticks(tavik.pid)
            time.sleep(10)
            ticks = cpu_ticks(tavik.pid) - ticks_before
            print(f"idle: {ticks} clock ticks of CPU over 10 s; resident memory {resident_kib(tavik.pid) / 1024:.1f} MiB")
        finally:
            if tavik:
                tavik.terminate()
                tavik.wait(timeout=120)
            os.kill(bus_pid, 15)


if __name__ == "__main__":
    main()
