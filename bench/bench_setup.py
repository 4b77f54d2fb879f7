"""What the benchmarks share besides the interleaved comparison: their
command-line options and the scratch folder they work in."""

import argparse
import contextlib
import shutil
import tempfile


def parse_options(program, work=True, work_required=False):
    """Reads `program` (the option naming what is measured, required),
    --work FOLDER (where `work` is true) and --rounds N (default 5)."""
    parser = argparse.ArgumentParser()
    parser.add_argument(program, required=True)
    if work:
        parser.add_argument("--work", required=work_required, default=None)
    parser.add_argument("--rounds", type=int, default=5)
    return parser.parse_args()


@contextlib.contextmanager
def scratch_folder(prefix, parent=None):
    """A new folder in `parent` (the temporary folder by default), removed
    with everything in it afterwards, also when the benchmark fails."""
    folder = tempfile.mkdtemp(prefix=prefix, dir=parent)
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)
