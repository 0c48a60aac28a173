"""The hub under asyncio: futures of the running loop woken by the queue's descriptor, no task
polling, cancellation and timeouts leaving no reader or descriptor behind."""
import asyncio
import os

import pytest

from zq_sim import wait_until

DEADLINE = 20


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


def test_wait_async_gives_the_stored_message_with_no_polling_task(hubbed):
    g, h, sim = hubbed("--rate", "25")

    async def main():
        loop = asyncio.get_running_loop()
        readers = len(loop._selector.get_map())
        tasks = len(asyncio.all_tasks())
        pending = h.wait_async(DEADLINE)
        # nothing runs for it but the loop's reader on the queue's descriptor
        assert len(asyncio.all_tasks()) == tasks
        assert len(loop._selector.get_map()) == readers + 1
        out = []
        for _ in range(10):
            m = await pending
            shown = g.parsed_data
            out.append((m, shown is m or shown.iTOW > m.iTOW))
            pending = h.wait_async(DEADLINE)
        pending.cancel()
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        assert len(loop._selector.get_map()) == readers
        return out

    out = run(main())
    assert all(ok for _, ok in out)
    itows = [m.iTOW for m, _ in out]
    assert itows == sorted(set(itows))


def test_wait_async_timeout_and_cancellation_leave_nothing_behind(hubbed):
    g, h, sim = hubbed("--paused")

    async def main():
        assert await h.wait_async(0.05) is None
        before = fd_count()
        for _ in range(50):
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(h.wait_async(), 0.001)
        await asyncio.sleep(0.01)
        after = fd_count()
        sim.send("resume")
        m = await h.wait_async(DEADLINE)
        return before, after, m

    before, after, m = run(main())
    assert after == before
    assert m is not None and m.identity == "NAV-PVT"


def test_messages_async_in_order_then_ends_on_timeout_or_close(hubbed):
    g, h, sim = hubbed("--rate", "25")

    async def main():
        got = []
        it = h.messages_async(timeout=DEADLINE)
        async for m in it:
            got.append(m)
            if len(got) == 30:
                break
        assert it.dropped == 0
        with pytest.raises(RuntimeError, match="still awaited"):
            first = it.__anext__()
            it.__anext__()
        await first
        it.close()
        assert [m async for m in it] == []

        sim.send("pause")
        assert [m async for m in h.messages_async(timeout=0.3)] is not None  # ends on its own

        # a step awaited while the hub closes ends the iteration
        closing = h.messages_async()
        step = asyncio.ensure_future(closing.__anext__())
        await asyncio.sleep(0.05)
        h.close()
        with pytest.raises(StopAsyncIteration):
            await step
        assert await h.wait_async() is None  # closed: settled at once
        return got

    got = run(main())
    itows = [m.iTOW for m in got]
    wait_until(lambda: any(t["iTOW"] == itows[-1] for t in sim.sent_pvts()), DEADLINE,
               "the simulator's record")
    sent = [t["iTOW"] for t in sim.sent_pvts() if itows[0] <= t["iTOW"] <= itows[-1]]
    assert itows == sent


def test_messages_async_states_through_a_stall(hubbed):
    g, h, sim = hubbed("--rate", "10")

    async def main():
        assert await h.wait_async(DEADLINE) is not None
        states = []
        sim.send("stall 3")
        async for s in h.messages_async((), timeout=DEADLINE, states=True):
            states.append(s)
            if s == "live":
                break
        return states

    assert run(main()) == ["stale", "live"]


def test_without_a_running_loop_is_an_error(hubbed):
    g, h, sim = hubbed("--paused")
    with pytest.raises(RuntimeError, match="no running event loop"):
        h.wait_async()
    it = h.messages_async()
    with pytest.raises(RuntimeError, match="no running event loop"):
        it.__anext__()
