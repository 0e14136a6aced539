# SPDX-License-Identifier: MIT
"""What the client's tests share: the sample service, started as its own process on 127.0.0.1."""

import os
import sys

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "service"))

from harness import ServiceProcess  # noqa: E402


@pytest.fixture
def service():
    with ServiceProcess(["--empty"], max_seconds=100) as running:
        yield running


@pytest.fixture(autouse=True)
def no_proxy(monkeypatch):
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "https_proxy", "HTTPS_PROXY"):
        monkeypatch.delenv(proxy, raising=False)
