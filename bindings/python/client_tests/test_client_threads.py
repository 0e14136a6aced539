# SPDX-License-Identifier: MIT
"""One client shared by threads while another closes it."""

import threading

import orvel


def test_threads_calling_one_client_while_another_closes_it(service, tmp_path):
    wishes = orvel.WishlistClient(service.base_url, str(tmp_path), backoff_base=0.01, backoff_cap=0.1)
    events = []
    wishes.on_change(events.append)
    wishes.start()
    returned = {}  # (thread, n) -> the intent set_wished returned for
    errors = []
    started = threading.Barrier(5)

    def tapper(t):
        started.wait()
        for n in range(10_000):
            try:
                wished = n % 3 != 0
                wishes.set_wished("track", f"tr-{t}-{n % 5}", wished)
                returned[t, n % 5] = wished
                wishes.status("track", f"tr-{t}-{n % 5}")
                wishes.entries()
                if n % 50 == 0:
                    wishes.sync_now()
            except ValueError as error:  # closed: every later call says so
                if "closed" not in str(error):
                    errors.append(error)
                return
            except BaseException as error:  # noqa: BLE001 - any other failure is the test's
                errors.append(error)
                return

    threads = [threading.Thread(target=tapper, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    started.wait()
    while len(returned) < 20 and all(t.is_alive() for t in threads):
        threading.Event().wait(0.01)
    wishes.close()
    for thread in threads:
        thread.join(60)
        assert not thread.is_alive()
    assert errors == [] and wishes.closed and wishes.state is orvel.ClientState.CLOSED
    wishes.close()  # again: harmless
    with orvel.WishlistClient(service.base_url, str(tmp_path)) as again:  # what returned was saved
        for (t, e), wished in returned.items():
            assert again.wished("track", f"tr-{t}-{e}") == wished
