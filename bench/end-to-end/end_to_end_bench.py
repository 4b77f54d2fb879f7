#!/usr/bin/env python3
"""Times Tavik's handling of a downloaded ZIP against unzip plus cp -a."""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "copy"))
from copy_bench import make_bundle  # noqa: E402


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
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="tavik-e2e-bench-", dir=os.path.expanduser("~"))
    try:
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

            tavik_times, baseline_times = [], []
            for round_number in range(args.rounds):
                # Baseline: the same archive unpacked and copied by the usual tools.
                scratch = os.path.join(work, "baseline")
                os.makedirs(os.path.join(scratch, "unzipped"))
                os.makedirs(os.path.join(scratch, "copied"))
                subprocess.run(["sync"])
                start = time.monotonic()
                subprocess.run(["unzip", "-q", archive, "-d", os.path.join(scratch, "unzipped")], check=True)
                subprocess.run(["cp", "-a", os.path.join(scratch, "unzipped", "Bench.app"), os.path.join(scratch, "copied")],
                               check=True)
                baseline_times.append(time.monotonic() - start)
                shutil.rmtree(scratch)

                download = os.path.join(work, f"Bench-{round_number}.zip")
                shutil.copyfile(archive, download)
                subprocess.run(["sync"])
                target = os.path.join(applications, "Bench.app")
                done = f"Copied application from "
                before = open(log_path, errors="replace").read().count(done)
                start = time.monotonic()
                os.rename(download, os.path.join(downloads, os.path.basename(download)))
                if not wait_for(lambda: open(log_path, errors="replace").read().count(done) > before, 600):
                    sys.exit("the application was never copied; see " + log_path)
                tavik_times.append(time.monotonic() - start)
                if not os.path.isfile(os.path.join(target, "Contents", "MacOS", "Bench")):
                    sys.exit("the copy is incomplete")
                time.sleep(1)  # clean-up: trash and working folder
                shutil.rmtree(target)
                print(f"round {round_number + 1}: tavik {tavik_times[-1]:.2f} s, unzip + cp -a {baseline_times[-1]:.2f} s")

            tavik_median = statistics.median(tavik_times)
            baseline_median = statistics.median(baseline_times)
            print(f"median: tavik {tavik_median:.2f} s, unzip + cp -a {baseline_median:.2f} s, "
                  f"ratio {tavik_median / baseline_median:.2f} (target at most 1.30)")

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
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
