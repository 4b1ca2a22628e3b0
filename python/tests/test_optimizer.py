"""The optimizer classes and the binary Energy against enumeration on small
problems: energies are the direct sums, a converged expansion (swap) leaves
no expansion (swap) move that lowers the energy, a binary problem reaches
its global minimum; and every refusal raises its exception."""

import itertools
import threading

import numpy as np
import pytest

import dticut

POTTS = 1 - np.eye(3, dtype=int)
TRUNCATED_LINEAR = np.minimum(abs(np.subtract.outer(range(4), range(4))), 2)  # a metric
TRUNCATED_QUADRATIC = np.minimum(np.subtract.outer(range(3), range(3)) ** 2, 4)  # not a metric


def direct_energy(data, smooth, pairs, labels):
    """Sum of D(s, l_s) and of w * V over the pairs, with V(label of the larger
    index site, label of the smaller), as the optimizer orders its arguments."""
    data_part = int(data[np.arange(len(labels)), labels].sum())
    smooth_part = sum(w * smooth[labels[max(p, q)], labels[min(p, q)]]
                      for p, q, w in pairs if p != q)
    return data_part, int(smooth_part)


def general(rng, sites, smooth, weights=(1, 5)):
    """A GeneralGraph on random pairs (one repeated, one self-pair) and costs."""
    pairs = [(p, q, int(rng.integers(*weights))) for p, q in itertools.combinations(range(sites), 2)
             if rng.random() < 0.5]
    pairs += [pairs[0], (1, 1, 3)]
    data = rng.integers(0, 20, size=(sites, len(smooth)))
    graph = dticut.GeneralGraph(sites, len(smooth))
    p, q, w = np.array(pairs).T
    graph.set_neighbors(p, q, w)
    graph.set_data_cost(data)
    graph.set_smooth_cost(smooth)
    return graph, data, pairs


def grid(rng, smooth, width=3, height=2, weighted=True):
    data = rng.integers(0, 20, size=(height, width, len(smooth)))
    V, H = rng.integers(1, 5, size=(2, height, width)) if weighted else np.ones((2, height, width))
    graph = dticut.GridGraph(width, height, len(smooth))
    graph.set_data_cost(data)
    if weighted:
        graph.set_smooth_cost_vh(smooth, V, H)
    else:
        graph.set_smooth_cost(smooth)
    sites = width * height
    pairs = [(p, p + 1, H.flat[p]) for p in range(sites) if p % width < width - 1]
    pairs += [(p, p + width, V.flat[p]) for p in range(sites - width)]
    return graph, data.reshape(sites, -1), pairs


def move_set(labels, move, num_labels):
    """Every labelling one move can reach from `labels`."""
    labels = tuple(labels)
    if move == "expansion":
        choices = [[(l, a) if l != a else (l,) for l in labels] for a in range(num_labels)]
    else:
        choices = [[(a, b) if l in (a, b) else (l,) for l in labels]
                   for a, b in itertools.combinations(range(num_labels), 2)]
    for per_site in choices:
        yield from itertools.product(*per_site)


@pytest.mark.parametrize("build,smooth,move", [
    ("general", POTTS, "expansion"),
    ("general", TRUNCATED_LINEAR, "expansion"),
    ("general", TRUNCATED_QUADRATIC, "swap"),
    ("grid", TRUNCATED_LINEAR, "swap"),
    ("grid", POTTS, "expansion"),
    ("unit grid", TRUNCATED_LINEAR, "expansion"),
], ids=["general Potts expansion", "general linear expansion", "general quadratic swap",
        "grid linear swap", "grid Potts expansion", "unit grid linear expansion"])
def test_moves_leave_no_better_move(rng, build, smooth, move):
    for _ in range(5):
        graph, data, pairs = (general(rng, 7, smooth) if build == "general"
                              else grid(rng, smooth, weighted=build == "grid"))
        start = rng.integers(0, len(smooth), size=graph.num_sites)
        graph.set_labels(start)
        energy = getattr(graph, move)()
        labels = graph.labels
        assert sum(direct_energy(data, smooth, pairs, labels)) == energy == graph.compute_energy()
        assert energy <= sum(direct_energy(data, smooth, pairs, start))
        best = min(sum(direct_energy(data, smooth, pairs, reached))
                   for reached in move_set(labels, move, len(smooth)))
        assert best == energy


def test_energies_are_direct_sums(rng):
    asymmetric = rng.integers(0, 9, size=(3, 3))
    for graph, data, pairs in (general(rng, 6, asymmetric, weights=(-3, 4)), grid(rng, asymmetric)):
        labels = rng.integers(0, 3, size=graph.num_sites)
        graph.set_labels(labels)
        data_part, smooth_part = direct_energy(data, asymmetric, pairs, labels)
        assert (graph.data_energy(), graph.smooth_energy()) == (data_part, smooth_part)
        assert graph.compute_energy() == data_part + smooth_part
        assert graph.expansion(0) == graph.swap(0) == data_part + smooth_part
        np.testing.assert_array_equal(graph.labels, labels)


def test_two_labels_reach_the_global_minimum(rng):
    for _ in range(10):
        graph, data, pairs = general(rng, 8, 3 * (1 - np.eye(2, dtype=int)))
        graph.expansion(1)
        best = min(sum(direct_energy(data, 3 * (1 - np.eye(2, dtype=int)), pairs, labels))
                   for labels in itertools.product(range(2), repeat=8))
        assert graph.compute_energy() == best


def test_costs_are_copied(rng):
    data = rng.integers(0, 9, size=(4, 2)).astype(np.int32)
    smooth = np.array([[0, 1], [1, 0]], dtype=np.int32)
    graph = dticut.GeneralGraph(4, 2)
    graph.set_neighbors([0, 1, 2], [1, 2, 3], 2)
    graph.set_data_cost(data)
    graph.set_smooth_cost(smooth)
    expected = int(data[:, 0].sum())
    data[...] = 1000
    smooth[...] = 1000
    del data, smooth
    assert graph.compute_energy() == expected


def test_energy_minimum_and_labels(rng):
    for _ in range(20):
        n = 7
        energy = dticut.Energy()
        assert energy.add_variables(n - 1) == 0 and energy.add_variable() == n - 1
        unary = rng.integers(-9, 10, size=(n, 2))
        energy.add_term1(np.arange(n), unary[:, 0], unary[:, 1])
        terms = []
        for x, y in itertools.combinations(range(n), 2):
            if rng.random() < 0.4:
                e = rng.integers(-9, 10, size=4)
                e[1] += max(0, e[0] + e[3] - e[1] - e[2])  # made regular
                energy.add_term2(x, y, *e)
                terms.append((x, y, e))
        values = {}
        for xs in itertools.product(range(2), repeat=n):
            values[xs] = sum(unary[k, xs[k]] for k in range(n)) + sum(
                e[2 * xs[x] + xs[y]] for x, y, e in terms)
        minimum = min(values.values())
        assert energy.minimize() == minimum == energy.minimize()
        minima = [xs for xs, v in values.items() if v == minimum]
        # A variable is 0 exactly when it is 0 in every minimum.
        expected = [0 if all(xs[k] == 0 for xs in minima) else 1 for k in range(n)]
        assert list(energy.labels) == expected


def test_a_move_runs_without_the_gil_and_keeps_its_object(rng):
    graph = dticut.GridGraph(300, 300, 8)
    graph.set_data_cost(rng.integers(0, 100, size=(300, 300, 8)))
    graph.set_smooth_cost(np.minimum(abs(np.subtract.outer(range(8), range(8))), 3) * 10)
    refused = []
    worker = threading.Thread(target=graph.expansion)
    worker.start()
    while worker.is_alive():
        try:
            graph.compute_energy()
        except RuntimeError as error:
            refused.append(str(error))
    worker.join()
    assert "GridGraph is in use by another thread" in refused


def ready_general(smooth=POTTS, sites=3, weight=1):
    graph = dticut.GeneralGraph(sites, len(smooth))
    graph.set_neighbors(0, 1, weight)
    graph.set_data_cost(np.zeros((sites, len(smooth)), int))
    graph.set_smooth_cost(smooth)
    return graph


def star(size):
    graph = dticut.GeneralGraph(size + 1, 2)
    graph.set_neighbors(size, np.arange(size), 1)
    graph.set_data_cost(np.zeros((size + 1, 2), int))
    graph.set_smooth_cost(1 - np.eye(2, dtype=int))
    return graph


def energy_with(variables, *terms):
    energy = dticut.Energy()
    energy.add_variables(variables)
    for term in terms:
        (energy.add_term2 if len(term) == 6 else energy.add_term1)(*term)
    return energy


REFUSALS = [
    (lambda: dticut.GeneralGraph(1, 2), ValueError,
     "GeneralGraph: num_sites is 1, expected at least 2"),
    (lambda: dticut.GeneralGraph(3, 1), ValueError,
     "GeneralGraph: num_labels is 1, expected 2 to 46340"),
    (lambda: dticut.GridGraph(1, 5, 2), ValueError,
     "GridGraph: 1 x 5 pixels, expected at least 2 x 2"),
    (lambda: dticut.GeneralGraph(3, 2).set_neighbors(0, 3, 1), IndexError,
     "set_neighbors: site 3 is outside 0 to 2"),
    (lambda: dticut.GeneralGraph(3, 2).set_neighbors([0, 1], [1, 2, 0], 1), ValueError,
     "q has 3 values but p has 2"),
    (lambda: dticut.GeneralGraph(3, 2).set_data_cost(np.zeros((3, 3), int)), ValueError,
     "data costs: shape 3 x 3, expected 3 x 2"),
    (lambda: dticut.GeneralGraph(3, 2).set_data_cost(np.zeros((3, 2))), TypeError,
     "data costs: dtype float64, expected integers"),
    (lambda: dticut.GeneralGraph(3, 2).set_data_cost(np.full((3, 2), 2 ** 31)), ValueError,
     "data costs: 2147483648 at index 0 is outside the 32-bit range"),
    (lambda: dticut.GridGraph(2, 3, 2).set_smooth_cost_vh(POTTS[:2, :2], np.ones(6, int),
                                                          np.ones((2, 3), int)), ValueError,
     "H: shape 2 x 3, expected 6 or 3 x 2"),
    (lambda: ready_general().set_labels([0, 3, 0]), ValueError,
     "labels: 3 at site 1 is outside 0 to 2"),
    (lambda: dticut.GeneralGraph(3, 2).compute_energy(), dticut.OptimizerError,
     "Smoothness term is not set up yet!"),
    (lambda: ready_general().set_data_cost(np.zeros((3, 3), int)), dticut.OptimizerError,
     "Data Costs are already initialized"),
    (lambda: ready_general().set_smooth_cost(POTTS), dticut.OptimizerError,
     "Smoothness Costs are already initialized"),
    (lambda: (lambda g: (g.expansion(), g.set_neighbors(1, 2, 1)))(ready_general()),
     dticut.OptimizerError, "Already set up neighborhood system"),
    (lambda: ready_general(TRUNCATED_QUADRATIC).expansion(), ValueError,
     "expansion: V(1, 2) + V(0, 1) = 2 < V(1, 1) + V(0, 2) = 4"),
    (lambda: ready_general(POTTS, weight=-1).swap(), ValueError,
     "swap: V(0, 1) + V(1, 0) = 2 > V(0, 0) + V(1, 1) = 0, so a pair of negative weight"),
    (lambda: ready_general(np.array([[5, 0], [0, 5]])).swap(), ValueError,
     "swap: V(0, 1) + V(1, 0) = 0 < V(0, 0) + V(1, 1) = 10"),
    (lambda: star(1025).expansion(), ValueError,
     "expansion: a site has 1025 neighbour entries of smaller index"),
    (lambda: ready_general(POTTS, weight=2 ** 30).compute_energy(), ValueError,
     "GeneralGraph: costs this large could give an energy of 1073741824"),
    (lambda: energy_with(2, (0, 1, 3, 0, 0, 3)), ValueError,
     "add_term2: term 0 is not regular: E(0,0) + E(1,1) = 6 exceeds E(0,1) + E(1,0) = 0"),
    (lambda: energy_with(2, (2, 1, 1)), IndexError, "add_term1: variable 2 is outside 0 to 1"),
    (lambda: energy_with(1026, (0, np.arange(1, 1026), 0, 1, 1, 0)), ValueError,
     "add_term2: variable 0 would be x in more than 1024 pair terms"),
    (lambda: energy_with(2, (0, 2 ** 29, 0)), ValueError,
     "add_term1: costs this large could give an energy of 536870912"),
    (lambda: (lambda e: (e.minimize(), e.add_variable()))(energy_with(1)), dticut.OptimizerError,
     "Energy: nothing can be added after minimize()"),
    (lambda: energy_with(1).labels, dticut.OptimizerError,
     "Energy: the labels are known after minimize()"),
]


@pytest.mark.parametrize("call,error,message", REFUSALS, ids=[r[2][:40] for r in REFUSALS])
def test_refusals(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(message)


def test_refusals_change_nothing():
    graph = star(1025)
    assert graph.compute_energy() == 0  # energies need no arcs
    energy = energy_with(1026, (0, np.arange(1, 1024), 0, 1, 1, 0))
    with pytest.raises(ValueError):
        energy.add_term2([0, 0], [1024, 1025], 0, 1, 1, 0)
    energy.add_term2(0, 1025, 0, 1, 1, 0)  # the 1024th: the refused pair left no count behind
    assert energy.minimize() == 0
