#!/usr/bin/python3
"""Peak memory of a Windows program run under Wine.

    peak_memory.py WINE_RUN PROGRAM.exe [RUNS]

Wine runs a Windows process as one Unix process, so its peak resident set
is the peak memory of the Windows program. Prints the median over RUNS runs
in KiB. The program's game is let finish after each run, like launch_timer.
"""

import os
import pathlib
import statistics
import subprocess
import sys
import time


def main():
    wine_run, program = sys.argv[1], pathlib.Path(sys.argv[2])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    record = program.parent / "x64r" / "received.txt"
    peaks = []
    for _ in range(runs):
        record.unlink(missing_ok=True)
        child = subprocess.Popen([wine_run, str(program)], stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        peaks.append(usage.ru_maxrss)  # KiB on Linux
        for _ in range(600):
            if record.exists():
                break
            time.sleep(0.01)
        time.sleep(0.05)
    record.unlink(missing_ok=True)
    print(f"{statistics.median(peaks):.0f}")


if __name__ == "__main__":
    main()
