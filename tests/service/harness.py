# SPDX-License-Identifier: MIT
"""Starts the sample service as its own process and talks to its control
endpoint: what the service's tests and the examples' runner share.

    with ServiceProcess(["--empty"]) as service:
        service.control({"faults": [{"action": "error"}]})
        ... service.base_url ...
        service.state()["entries"]
"""

import json
import os
import subprocess
import sys
import threading
import urllib.request

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "orvel_service.py")


class ServiceProcess:
    def __init__(self, args=(), max_seconds=120, start_timeout=30):
        self.args = ["--quiet", "--max-seconds", str(max_seconds), *args]
        self.start_timeout = start_timeout
        self.process = None
        self.base_url = None

    def __enter__(self):
        self.process = subprocess.Popen([sys.executable, SCRIPT, *self.args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        line = []
        reader = threading.Thread(target=lambda: line.append(self.process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(self.start_timeout)
        if not line or not line[0].startswith("http://127.0.0.1:"):
            self.stop()
            raise RuntimeError(f"the service did not start: {self.process.stderr.read()}")
        self.base_url = line[0].strip()
        self.origin = "/".join(self.base_url.split("/")[:3])
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process:
            self.process.stdout.close()
            self.process.stderr.close()

    def control(self, order=None):
        """POSTs an order to /_control (GETs it without one); the service's state after it."""
        data = None if order is None else json.dumps(order).encode("utf-8")
        request = urllib.request.Request(self.origin + "/_control", data=data,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.loads(answer.read())

    def state(self):
        return self.control()
