#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Builds one example, runs it twice against the sample service, and checks
what it printed, what the service saw and what it saved.

  run.py NAME BUILD_DIR [--prefix DIR] [--python PY]

NAME is c, cpp, python, node, typescript or java. BUILD_DIR is a build of the
libraries (with the bindings: the Java jar and its shims). The C and C++
examples are built against --prefix, an install of the libraries (by default
BUILD_DIR installed into a temporary folder). The service fails the first
change with a 503 and applies the second but answers 500, so each example must
back off twice before the third try is accepted; the second run starts from
what the first saved and finds nothing left to send; the third gets half a
list first, and shows the saved one; in the fourth the service has lost the
album, and holds the change unanswered past the example's deadline (1 s):
the example must report it unknown and give the request up, its connection
closed, before it sends it again. Last, the snapshot is damaged: the example
must refuse it, naming the file, and leave it as it was.
"""

import argparse
import difflib
import glob
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "service"))
from harness import ServiceProcess  # noqa: E402
from orvel_service import SAMPLE_ENTRIES  # noqa: E402

NAMES = ("c", "cpp", "python", "node", "typescript", "java")
FAULTS = ['{"action":"error"}', '{"action":"fail-after-apply"}']
WISHED = {"kind": "album", "itemId": "al-42", "title": "Blue Hour", "artist": "Ines Varga"}
RUN_SECONDS = 120
SNAPSHOT = "wishlist.snapshot"


def listing(entries):
    lines = [f"wishlist: {len(entries)} entries"]
    for e in entries:
        lines.append(f"  {e['kind']} {e['itemId']}: {e['title']}" + (f", by {e['artist']}" if e["artist"] else ""))
    return lines


AFTER = SAMPLE_ENTRIES + [WISHED]
EXPECTED = [
    listing(SAMPLE_ENTRIES) + ["wished album al-42", "sent: failed, trying again in 0.2 s",
                               "sent: failed, trying again in 0.4 s", "sent: accepted"]
    + listing(AFTER) + ["changes not yet confirmed: 0"],
    listing(AFTER) + ["album al-42 is wished already"] + listing(AFTER) + ["changes not yet confirmed: 0"],
    ["the list could not be loaded (HTTP 200): showing the saved one"] + listing(AFTER)
    + ["album al-42 is wished already"] + listing(AFTER) + ["changes not yet confirmed: 0"],
    listing(SAMPLE_ENTRIES) + ["wished album al-42", "sent: no answer in time, trying again in 0.2 s",
                               "sent: accepted"] + listing(AFTER) + ["changes not yet confirmed: 0"],
]
# Set before each run, and the deadline each run is given (seconds).
RUN_ORDERS = [None, None, {"faults": [{"endpoint": "mine", "action": "truncate"}]},
              {"entries": SAMPLE_ENTRIES, "faults": [{"action": "hold", "seconds": 60}]}]
RUN_TIMEOUTS = ["10", "10", "10", "1"]
# What the service sees: the list, three tries of the change, the list; two lists in each of the next
# runs; the list, the held change (no answer), its second try, the list; nothing over the damaged snapshot.
EXPECTED_LOG = ([("GET", 200), ("POST", 503), ("POST", 500), ("POST", 204), ("GET", 200)] + [("GET", 200)] * 4
                + [("GET", 200), ("POST", None), ("POST", 204), ("GET", 200)])


def sh(command, **kw):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, timeout=600, **kw)


def prepare(name, args, work):
    """The command that runs the example, built or set up in work, and its environment."""
    build = os.path.abspath(args.build_dir)
    env = dict(os.environ, ORVEL_LIBRARY=os.path.join(build, "liborvel.so.1"),
               ORVEL_SYNC_LIBRARY=os.path.join(build, "sync", "liborvel-sync.so.1"))
    if name in ("c", "cpp"):
        prefix = args.prefix
        if prefix is None:
            prefix = os.path.join(work, "prefix")
            sh(["cmake", "--install", build, "--prefix", prefix])
        sh(["cmake", "-S", os.path.join(HERE, name), "-B", os.path.join(work, "build"),
            f"-DCMAKE_PREFIX_PATH={os.path.abspath(prefix)}", "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON"])
        sh(["cmake", "--build", os.path.join(work, "build")])
        return [os.path.join(work, "build", "wishlist")], env
    if name == "python":
        if args.python is None:
            env["PYTHONPATH"] = os.path.join(ROOT, "bindings", "python")
        return [args.python or sys.executable, os.path.join(HERE, "python", "wishlist.py")], env
    if name in ("node", "typescript"):
        # A project with the package installed: a link to the repository's, as `npm install` of it would.
        project = os.path.join(work, "project")
        os.makedirs(os.path.join(project, "node_modules"))
        os.symlink(os.path.join(ROOT, "bindings", "node"), os.path.join(project, "node_modules", "orvel"))
        if name == "node":
            shutil.copy(os.path.join(HERE, "node", "wishlist.mjs"), project)
            return ["node", os.path.join(project, "wishlist.mjs")], env
        source = os.path.join(HERE, "typescript")
        for file in ("package.json", "tsconfig.json", "wishlist.ts"):
            shutil.copy(os.path.join(source, file), project)
        # The compiler and Node's types, as the example's package-lock.json pins them (npm ci there).
        for installed in glob.glob(os.path.join(source, "node_modules", "*")):
            os.symlink(installed, os.path.join(project, "node_modules", os.path.basename(installed)))
        sh(["node", os.path.join(project, "node_modules", "typescript", "bin", "tsc"), "-p", project])
        return ["node", os.path.join(project, "dist", "wishlist.js")], env
    jar = sorted(glob.glob(os.path.join(build, "bindings", "java", "orvel-[0-9]*.jar")))
    if not jar:
        sys.exit(f"run.py: no orvel-VERSION.jar in {build}/bindings/java")
    sh(["javac", "-encoding", "UTF-8", "-Xlint:all", "-Werror", "-cp", jar[-1], "-d", os.path.join(work, "classes"),
        os.path.join(HERE, "java", "WishlistExample.java")])
    return ["java", "-cp", f"{jar[-1]}:{os.path.join(work, 'classes')}", "WishlistExample"], env


def check_damaged(command, env, base_url, folder):
    """Runs the example over its snapshot cut in half: it must exit 1 naming the file,
    send nothing (the service's log says so) and leave the file as it was."""
    path = os.path.join(folder, SNAPSHOT)
    if not os.path.isfile(path):
        return f"no {SNAPSHOT} was saved"
    with open(path, "rb") as file:
        damaged = file.read()
    damaged = damaged[:len(damaged) // 2]
    with open(path, "wb") as file:
        file.write(damaged)
    done = subprocess.run(command + [base_url, folder, "10"], env=env, capture_output=True, text=True,
                          timeout=RUN_SECONDS)
    with open(path, "rb") as file:
        kept = file.read() == damaged
    if done.returncode != 1 or f"wishlist: {path}: invalid json" not in done.stderr.splitlines() or not kept:
        return (f"over a damaged snapshot the example exited {done.returncode}, the file "
                f"{'kept' if kept else 'changed'}; stderr:\n{done.stderr}")
    return None


def check(name, args):
    failures = []
    work = tempfile.mkdtemp(prefix=f"orvel-example-{name}-")
    try:
        command, env = prepare(name, args, work)
        folder = os.path.join(work, "saved")
        os.mkdir(folder)
        with ServiceProcess([f"--fault={f}" for f in FAULTS], max_seconds=4 * RUN_SECONDS) as service:
            for run, (expected, order, seconds) in enumerate(zip(EXPECTED, RUN_ORDERS, RUN_TIMEOUTS), 1):
                if order:
                    service.control(order)
                done = subprocess.run(command + [service.base_url, folder, seconds], env=env, capture_output=True,
                                      text=True, timeout=RUN_SECONDS)
                got = done.stdout.splitlines()
                if done.returncode != 0 or got != expected:
                    failures.append(f"run {run} exited {done.returncode}; stderr:\n{done.stderr}" +
                                    "\n".join(difflib.unified_diff(expected, got, "expected", "printed", lineterm="")))
            damaged_failure = check_damaged(command, env, service.base_url, folder)
            state = service.state()
        log = state["requests"]
        if [(r["method"], r["status"]) for r in log] != EXPECTED_LOG:
            failures.append(f"the service saw {[(r['method'], r['path'], r['status']) for r in log]}")
        posts = [r["time"] for r in log if r["method"] == "POST"][:3]
        gaps = [b - a for a, b in zip(posts, posts[1:])]
        if len(gaps) != 2 or gaps[0] < 0.15 or gaps[1] < 0.35:
            failures.append(f"no back-off between the tries: {gaps}")
        retried = [r for r in log if r["method"] == "POST"][3:]
        if [(r["applied"], r["heldOpen"]) for r in retried] != [(True, 0), (True, 0)]:
            failures.append("the held change was sent again before its request was given up: "
                            f"{[(r['status'], r['heldOpen']) for r in retried]}")
        if [e for e in state["entries"] if e["itemId"] == "al-42"] != [WISHED]:
            failures.append(f"the service holds {state['entries']}")
        if sorted(os.listdir(folder)) != [SNAPSHOT]:
            failures.append(f"the folder holds {sorted(os.listdir(folder))}")
        if damaged_failure:
            failures.append(damaged_failure)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("name", choices=NAMES + ("all",))
    parser.add_argument("build_dir")
    parser.add_argument("--prefix", help="an install of the libraries, for the C and C++ examples")
    parser.add_argument("--python", help="an interpreter that has the orvel package installed")
    args = parser.parse_args()
    status = 0
    for name in NAMES if args.name == "all" else (args.name,):
        failures = check(name, args)
        print(f"example {name}: {'FAILED' if failures else 'passed'}", flush=True)
        for failure in failures:
            print("  " + failure.replace("\n", "\n  "))
        status |= bool(failures)
    return status


if __name__ == "__main__":
    sys.exit(main())
