# SPDX-License-Identifier: MIT
"""The README's WishlistClient block, run as written against the sample service."""

import pathlib
import re

import orvel

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def client_block():
    text = README.read_text(encoding="utf-8")
    section = text[text.index("## Staying in sync by itself"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_the_readme_client_runs_and_its_change_reaches_the_service(service, tmp_path, capsys):
    code = client_block().replace('"https://wishlist.example.com"', repr(service.base_url))
    app = {"state_dir": str(tmp_path)}
    exec(compile(code, str(README), "exec"), app)
    assert app["status"].wished and app["status"].state in (orvel.SyncState.PENDING, orvel.SyncState.SENDING,
                                                           orvel.SyncState.CONFIRMING, orvel.SyncState.SYNCED)
    with orvel.WishlistClient(service.base_url, str(tmp_path)) as again:  # saved, and sent from there
        again.sync_now()
        assert again.held == 0 and [e["itemId"] for e in service.state()["entries"]] == ["al-1"]
    assert "album al-1 True local" in capsys.readouterr().out
