"""Runs one system test file and turns unittest's verdict into ctest's.

unittest exits 0 when tests were skipped, so ctest would count a file whose
tests all skipped (not root, no browser) as passed. This wrapper runs the file
unchanged, passes its output through, and exits
  1  when it failed,
  77 (ctest's SKIP_RETURN_CODE) when every test in it skipped,
  1  when a test skipped while KVD_REQUIRE_ALL_TESTS=1 (CI requires them all,
     except those whose skip reason says "[optional]"),
  0  otherwise.
"""
import os
import re
import signal
import subprocess
import sys
import tempfile


def stop_group(pgid):
    """SIGKILLs what is left of the test's process group; returns how many."""
    left = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="utf-8", errors="replace") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        if len(fields) > 2 and fields[0] != "Z" and int(fields[2]) == pgid:
            left += 1
    if left:
        try:
            os.killpg(pgid, signal.SIGKILL)
        except ProcessLookupError:
            left = 0
    return left


def main(argv):
    if len(argv) < 2:
        print("usage: run_one.py TEST_FILE [args...]", file=sys.stderr)
        return 2
    # The test runs in a process group of its own and writes to a file, not a
    # pipe: a process it leaked (a driver's server that outlived its driver)
    # would otherwise hold the pipe open and hang the run long after the test
    # ended. What is left of the group at the end is stopped.
    with tempfile.TemporaryFile() as outfile:
        proc = subprocess.Popen([sys.executable, argv[1], "-v", *argv[2:]], stdout=outfile,
                                stderr=subprocess.STDOUT, start_new_session=True)
        try:
            returncode = proc.wait()
        finally:
            leftover = stop_group(proc.pid)
        outfile.seek(0)
        out = outfile.read().decode(errors="replace")
    sys.stdout.write(out)
    if leftover:
        print(f"run_one: stopped {leftover} process(es) the test left running", file=sys.stderr)
    sys.stdout.flush()
    if returncode != 0:
        return 1
    ran = re.findall(r"^Ran (\d+) tests? in", out, re.M)
    total = int(ran[-1]) if ran else 0
    skipped = re.findall(r"^OK \(.*?skipped=(\d+)", out, re.M)
    nskipped = int(skipped[-1]) if skipped else 0
    if total == 0:
        print("run_one: no test ran", file=sys.stderr)
        return 1
    # A test that needs what no machine of ours has (hardware, a driver
    # feature) says so with "[optional]" in its skip reason; every other skip
    # is a missing counterpart.
    optional = len(re.findall(r"\.\.\. skipped ['\"][^\n]*\[optional\]", out))
    required_skips = nskipped - optional
    if required_skips > 0 and os.environ.get("KVD_REQUIRE_ALL_TESTS") == "1":
        print(f"run_one: {required_skips} of {total} tests skipped, but this run requires them",
              file=sys.stderr)
        return 1
    if nskipped == total:
        return 77
    if nskipped:
        print(f"run_one: {nskipped} of {total} tests skipped", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
