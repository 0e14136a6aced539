# SPDX-License-Identifier: MIT
"""No tap is lost when a syncing client is killed: 200 SIGKILLs at seeded random moments."""

import os
import subprocess
import sys

from harness import ServiceProcess

CRASH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "crash_taps.py")


def test_every_printed_tap_survives_two_hundred_kills(tmp_path):
    with ServiceProcess(["--empty", "--max-requests", "1000000"], max_seconds=110) as service:
        run = subprocess.run([sys.executable, CRASH, service.base_url, str(tmp_path / "state"), "200", "11"],
                             capture_output=True, text=True, timeout=100)
    print(run.stdout, run.stderr[-2000:])
    assert run.returncode == 0, run.stdout + run.stderr[-2000:]
    kills, taps = run.stdout.split()[0], run.stdout.split()[2]
    assert int(kills) == 200 and int(taps) > 200
