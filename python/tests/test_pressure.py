"""The package under pressure, each case in a child interpreter: allocations
that fail under an address-space limit raise MemoryError (and never end the
process), and Ctrl-C stops every long call within a bound with
KeyboardInterrupt, leaving its object usable."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def child(body, *arguments):
    """A Python child that runs `body` with the package importable."""
    return subprocess.Popen(
        [sys.executable, "-u", "-c", textwrap.dedent(body), *arguments],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=dict(os.environ))


# Each case runs after `limit(megabytes)` caps the address space at what the
# child uses plus that margin; it prints what it raised.
MEMORY_PRELUDE = """
import resource, sys
import numpy as np
import dticut

def limit(megabytes):
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    cap = used + megabytes * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (cap, resource.getrlimit(resource.RLIMIT_AS)[1]))

def raised(call):
    try:
        call()
    except MemoryError as error:
        return f"MemoryError: {error}"
    return "returned"
"""

MEMORY_CASES = {
    # numpy cannot make the float32 copy of a broadcast float64 volume.
    "broadcast evals": """
        limit(512)
        evals = np.broadcast_to(np.float64(1), (600, 600, 600, 3))
        evecs = np.broadcast_to(np.float64(1), (600, 600, 600, 3, 3))
        print(raised(lambda: dticut.segment(evals, evecs, evals[..., 0])))
    """,
    # The variable lists cannot grow; nothing is added.
    "variables": """
        limit(512)
        energy = dticut.Energy()
        print(raised(lambda: energy.add_variables(2**31 - 2)), energy.num_variables)
    """,
    # The engine's node storage (or the variable lists) run out part of the
    # way; the call adds nothing, and what was there still solves.
    "engine nodes": """
        energy = dticut.Energy()
        energy.add_variables(2)
        energy.add_term1([0, 1], [0, 4], [5, 0])
        energy.add_term2(0, 1, 0, 3, 3, 0)
        limit(400)
        said = raised(lambda: [energy.add_variables(2**16) for _ in range(10000)])
        resource.setrlimit(resource.RLIMIT_AS, resource.getrlimit(resource.RLIMIT_AS)[1:] * 2)
        print(said.split(":")[0], energy.num_variables % 2**16 == 2, energy.minimize(),
              list(energy.labels[:2]))
    """,
    # The optimizer or its moves' max-flow engine (at this limit, the
    # engine's node storage) runs out; the labels stay valid.
    "moves": """
        graph = dticut.GridGraph(2000, 2000, 3)
        graph.set_data_cost(np.zeros((2000, 2000, 3), np.int32))
        graph.set_smooth_cost(1 - np.eye(3, dtype=np.int32))
        limit(150)
        print(raised(graph.expansion), set(graph.labels) <= {0, 1, 2})
    """,
    # The segmentation needs more than is left: its own message.
    "segmentation": """
        rng = np.random.default_rng(1)
        shape = (160, 160, 100)
        evals = rng.random(shape + (3,), dtype=np.float32)
        evecs = rng.random(shape + (3, 3), dtype=np.float32)
        scalar = rng.random(shape, dtype=np.float32)
        limit(300)
        print(raised(lambda: dticut.segment(evals, evecs, scalar, data_lambda=100)))
    """,
}

MEMORY_EXPECTED = {
    "broadcast evals": "MemoryError: Unable to allocate",
    "variables": "MemoryError: add_variables: no memory for 2147483646 more variables 0",
    "engine nodes": "MemoryError True 3 [0, 1]",
    "moves": "MemoryError: Not enough memory True",
    "segmentation": "MemoryError: out of memory: segmenting 160 x 160 x 100 voxels needs about",
}


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than any limit")
@pytest.mark.parametrize("case", sorted(MEMORY_CASES))
def test_exhausted_memory_raises_memory_error(case):
    process = child(MEMORY_PRELUDE + textwrap.dedent(MEMORY_CASES[case]))
    out, err = process.communicate(timeout=300)
    assert process.returncode == 0, err
    assert out.startswith(MEMORY_EXPECTED[case]), out + err


# Each long call on a problem that takes some seconds; after
# KeyboardInterrupt the child checks that the object still works.
INTERRUPT_CASES = {
    "expansion": """
        graph = dticut.GridGraph(1000, 1000, 4)
        graph.set_data_cost(rng.integers(0, 100, (1000, 1000, 4)).astype(np.int32))
        graph.set_smooth_cost(30 * (1 - np.eye(4, dtype=np.int32)))
        call = graph.expansion
        again = lambda: improves(graph, graph.expansion)
    """,
    "swap": """
        graph = dticut.GeneralGraph(640_000, 4)
        sites = np.arange(640_000).reshape(800, 800)
        graph.set_neighbors(sites[:, 1:].ravel(), sites[:, :-1].ravel(), 1)
        graph.set_neighbors(sites[1:].ravel(), sites[:-1].ravel(), 1)
        graph.set_data_cost(rng.integers(0, 100, (640_000, 4)).astype(np.int32))
        graph.set_smooth_cost(30 * (1 - np.eye(4, dtype=np.int32)))
        call = graph.swap
        again = lambda: improves(graph, graph.swap)
    """,
    "minimize": """
        def build():
            n = 4_000_000
            values = np.random.default_rng(3)
            energy = dticut.Energy()
            energy.add_variables(n)
            energy.add_term1(np.arange(n), values.integers(0, 20, n), values.integers(0, 20, n))
            for step in (1, 1000):
                a = np.arange(n - step)
                energy.add_term2(a, a + step, 0, 12, 12, 0)
            return energy
        energy = build()
        call = energy.minimize
        # The interrupted search goes on where it stopped and ends where an
        # uninterrupted one does.
        def again():
            resumed = energy.minimize(), list(energy.labels)
            fresh = build()
            return resumed == (fresh.minimize(), list(fresh.labels))
    """,
    "segment": """
        shape = (180, 180, 100)
        evals = rng.random(shape + (3,), dtype=np.float32)
        evecs = rng.normal(size=shape + (3, 3)).astype(np.float32)
        scalar = rng.random(shape, dtype=np.float32)
        call = lambda: dticut.segment(evals, evecs, scalar, data_lambda=100)
        def again():
            small = np.s_[:20, :20, :20]
            result = dticut.segment(evals[small], evecs[small], scalar[small], data_lambda=100)
            return result.labels.shape == (20, 20, 20)
    """,
}

INTERRUPT_PRELUDE = """
import time
import numpy as np
import dticut
rng = np.random.default_rng(5)

def improves(graph, move):
    # One more iteration from the labels left: exact energy, no rise.
    before = graph.compute_energy()
    after = move(1)
    return after == graph.compute_energy() and after <= before
"""

INTERRUPT_RUN = """
print("start", flush=True)
started = time.monotonic()
try:
    call()
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
print("usable" if again() else "broken", flush=True)
"""


@pytest.mark.parametrize("case", sorted(INTERRUPT_CASES))
def test_ctrl_c_stops_a_long_call_soon(case):
    process = child(INTERRUPT_PRELUDE + textwrap.dedent(INTERRUPT_CASES[case]) + INTERRUPT_RUN)
    try:
        assert process.stdout.readline() == "start\n", process.stderr.read()
        time.sleep(0.5)
        process.send_signal(signal.SIGINT)
        sent = time.monotonic()
        reply = process.stdout.readline()
        delay = time.monotonic() - sent
        rest = process.stdout.read()
        err = process.stderr.read()
        process.wait(timeout=300)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 0, err
    assert reply == "interrupted\n", reply + rest + err
    # Polled every 0.1 s; the slowest unpolled stretch (building a large
    # segmentation's costs) takes about 0.4 s here, three times that under
    # the sanitizers.
    assert delay < (3.0 if SANITIZED else 1.0), delay
    assert rest == "usable\n", rest + err
