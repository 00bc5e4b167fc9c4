"""A child process for test_long_calls.py: runs one long sample() call the way
a user would, lets it be stopped (by a signal from the parent, or by running
out of memory under an address-space limit), then checks that the same
sampler still gives exact results. Prints one JSON line with what happened.

    python long_call_child.py interrupt|own-exception|handler-returns|memory-cap
"""

import functools
import json
import resource
import signal
import sys
import time

import numpy as np

import vornlib

USERS, FANOUT, ITEMS = 100_000, 64, 1_000
RELATIONS = 64  # edge types from users to users, all over the same arrays


def i64(values):
    return np.asarray(values, dtype=np.int64)


@functools.cache  # one copy of the arrays for every sampler of the child
def graph():
    """Users follow 64 users each (timestamps = user index, each neighbourhood
    in time order); users also bought 8 of 1000 items, which have no
    timestamps, so sampling items draws from the generator."""
    rng = np.random.default_rng(1)
    follows_row = np.sort(rng.integers(0, USERS, (USERS, FANOUT)), axis=1).ravel()
    follows_colptr = np.arange(0, (USERS + 1) * FANOUT, FANOUT, dtype=np.int64)
    bought_row = rng.integers(0, ITEMS, USERS * 8)
    bought_colptr = np.arange(0, (USERS + 1) * 8, 8, dtype=np.int64)
    follows = [f"U__r{r}__U" for r in range(RELATIONS)]
    return dict(
        node_types=["U", "I"],
        edge_types=[("U", f"r{r}", "U") for r in range(RELATIONS)] + [("I", "b", "U")],
        colptr={**{key: follows_colptr for key in follows}, "I__b__U": bought_colptr},
        row={**{key: follows_row for key in follows}, "I__b__U": bought_row},
        node_time={"U": np.arange(USERS, dtype=np.int64)},
        seed=11,
    )


def request(follows, bought, seeds, seed_time, relations=1):
    """follows: the counts of the first `relations` user-to-user edge types
    (the others take nothing); bought: the counts of items."""
    counts = {f"U__r{r}__U": i64(follows if r < relations else [0]) for r in range(RELATIONS)}
    counts["I__b__U"] = i64(bought)
    seed_node = np.random.default_rng(seeds).integers(0, USERS, seeds)
    return dict(num_neighbors=counts, sampling_time_offsets={}, entity_table="U",
                seed_node=seed_node, seed_time=np.full(seeds, seed_time, dtype=np.int64))


# Draws from the generator: the history every check compares.
DRAWING = request(follows=[1, 1], bought=[3, 3], seeds=200, seed_time=USERS)


def long_call(relations):
    """Every neighbour no later than the seed time, for a million seeds whose
    time precedes every user: about 0.2 to 0.6 s of bisections per relation,
    no result, little memory, and no random draws."""
    return request(follows=[-1], bought=[0], seeds=1_000_000, seed_time=-1, relations=relations)


# Every neighbour for three hops: far more memory than the cap allows.
HUGE = request(follows=[-1, -1, -1], bought=[0], seeds=100, seed_time=USERS)
# A sizeable call that fits under the cap next to what the process holds.
MODERATE = request(follows=[-1, -1], bought=[0], seeds=300, seed_time=USERS)


def plain(result):
    return [{key: array.tolist() for key, array in table.items()} for table in result]


def continues_exactly(sampler):
    """The next drawing call equals a fresh sampler's with the same history
    (one drawing call before the stopped one, which draws nothing)."""
    reference = vornlib.NeighborSampler(**graph())
    reference.sample(**DRAWING)
    return plain(sampler.sample(**DRAWING)) == plain(reference.sample(**DRAWING))


class Stop(Exception):
    pass


def raise_stop(signum, frame):
    raise Stop()


def run_signalled(mode):
    handled = []
    if mode == "interrupt":
        # Python leaves SIGINT ignored when it starts with it ignored (as in a
        # shell's background job); a user's Ctrl+C raises KeyboardInterrupt.
        signal.signal(signal.SIGINT, signal.default_int_handler)
    elif mode == "own-exception":
        signal.signal(signal.SIGINT, raise_stop)
    elif mode == "handler-returns":
        signal.signal(signal.SIGINT, lambda signum, frame: handled.append(time.monotonic()))
    sampler = vornlib.NeighborSampler(**graph())
    sampler.sample(**DRAWING)
    # Interrupted calls would run for half a minute; the one that must run to
    # its end is shorter.
    call = long_call(RELATIONS if mode != "handler-returns" else 8)
    print("started", flush=True)
    report = {"outcome": "returned"}
    try:
        result = sampler.sample(**call)
    except BaseException as exc:  # noqa: BLE001 - reported to the parent
        report["outcome"] = type(exc).__name__
    report["ended"] = time.monotonic()
    if mode == "handler-returns":
        report["handled"] = handled
        report["result_exact"] = (result[2]["U"].tolist() == call["seed_node"].tolist()
                                  and not any(len(rows) for rows in result[0].values()))
    report["continues_exactly"] = continues_exactly(sampler)
    return report


def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize")


def run_memory_cap():
    sampler = vornlib.NeighborSampler(**graph())
    sampler.sample(**DRAWING)
    # Room for the moderate call, its results and some slack; not for HUGE.
    cap = address_space() + (640 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    report = {"outcome": "returned"}
    try:
        sampler.sample(**HUGE)
    except MemoryError:
        report["outcome"] = "MemoryError"
    report["moderate_fits"] = len(sampler.sample(**MODERATE)[2]["U"]) > 0
    report["continues_exactly"] = continues_exactly(sampler)
    return report


if __name__ == "__main__":
    mode = sys.argv[1]
    print(json.dumps(run_memory_cap() if mode == "memory-cap" else run_signalled(mode)), flush=True)
