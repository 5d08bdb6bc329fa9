"""tarvel_tools against the Python rigidity package pyrigi: agreement and speed.

pyrigi is a benchmark-side dependency only (``pip install pyrigi``). For
every question both answer, the script

1. compares the answers on a few hundred random small graphs (verdicts,
   components as node sets, closures as edge sets, and for frameworks at
   random integer positions the numbers of flexes and self-stresses and the
   stress matrix of a stress), and
2. times both at the largest size, doubling n, at which pyrigi still
   answers within the time budget (``--budget``, seconds; about a minute
   is the reference), printing ours, the peer and the ratio. Each peer
   call runs in a forked child that is killed when it overruns the
   budget, so the doubling stops cleanly after at most one budget more.

A question whose tarvel_tools function does not exist (yet) is reported as
skipped. Usage: ``python benchmarks/bench_peer.py [--graphs 300] [--budget 60]``.
"""

import argparse
import inspect
import multiprocessing
import os
import sys
import time
import warnings
from importlib import metadata

for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")  # both sides on one BLAS thread: more only contend here

import numpy as np

import tarvel_tools
from bench_graph import globally_rigid_graph
import tarvel_tools.rigidity

try:
    import pyrigi
except ImportError:  # pragma: no cover - the benchmark says what it needs
    sys.exit("bench_peer needs the peer: pip install pyrigi")


def random_graph(rng, n, m):
    """A simple random graph on n nodes with (up to) m distinct edges."""
    pairs = np.stack(np.triu_indices(n, k=1), axis=1)
    chosen = rng.choice(len(pairs), size=min(m, len(pairs)), replace=False)
    return pairs[np.sort(chosen)]


def min_degree_graph(rng, n, m, least):
    """A random graph with m bars, then bars to random partners until every node has at least `least`."""
    edges = {tuple(map(int, e)) for e in random_graph(rng, n, m)}
    degree = np.zeros(n, dtype=np.int64)
    for a, b in edges:
        degree[[a, b]] += 1
    for node in range(n):
        while degree[node] < least:
            other = int(rng.integers(n))
            pair = (min(node, other), max(node, other))
            if other != node and pair not in edges:
                edges.add(pair)
                degree[[node, other]] += 1
    return np.array(sorted(edges), dtype=np.int64)


def demanding_graph(rng, name, n, d):
    """A graph on which the question takes the peer's full work rather than a counting shortcut.

    Rigidity and components take a random graph with m = d n. The
    redundancy and global questions take a globally rigid graph (K4 grown by
    1-extensions plus n / 10 random bars), coned in space: coning keeps
    global and redundant rigidity (Connelly and Whiteley). The circuit
    question takes the same graph without the extra bars: a circuit.
    Redundancy against the loss of k = 2 bars takes a random graph with
    m = 5n whose every node has at least d + 2 bars, so that the degrees
    cannot answer it.
    """
    if name == "is_k_redundantly_rigid":
        return min_degree_graph(rng, n, 5 * n, d + 2)
    if name in ("is_rigid", "rigid_components", "infinitesimal_flexes", "self_stresses", "stress_matrix"):
        return random_graph(rng, n, d * n)
    # 1-extensions of K4 keep it a circuit (Berg and Jordan), and coning keeps circuits.
    base = globally_rigid_graph(rng, n - (d - 2), 0 if name == "is_circuit" else max(1, n // 10))
    if d == 2:
        return base
    apex = np.stack([np.arange(n - 1), np.full(n - 1, n - 1)], axis=1)
    return np.concatenate([base, apex])


def peer_graph(n, edges):
    return pyrigi.Graph.from_vertices_and_edges(list(range(n)), [tuple(map(int, e)) for e in edges])


def peer_framework(positions, edges):
    graph = peer_graph(len(positions), edges)
    return pyrigi.Framework(graph, {i: [int(x) for x in p] for i, p in enumerate(positions)})


def ours(name):
    """Our function of that name, from the package or its rigidity module; None where neither has it."""
    return getattr(tarvel_tools, name, None) or getattr(tarvel_tools.rigidity, name, None)


def takes_dimension(function):
    return "d" in inspect.signature(function).parameters


def node_sets(components):
    return sorted(sorted(map(int, c)) for c in components if len(c) > 1)


def edge_set(pairs):
    return sorted(tuple(sorted(map(int, p))) for p in pairs)


# Each question: (label, our function name, d, ours(n, edges) -> answer, peer(graph) -> answer).
def graph_questions():
    questions = []
    for d in (2, 3):
        questions += [
            (f"is_rigid d={d}", "is_rigid", d, lambda f, n, e, d=d: f(n, e, d=d), lambda g, d=d: g.is_rigid(dim=d)),
            (
                f"is_redundantly_rigid d={d}",
                "is_redundantly_rigid",
                d,
                lambda f, n, e, d=d: f(n, e, d=d),
                lambda g, d=d: g.is_redundantly_rigid(dim=d),
            ),
            (
                f"is_globally_rigid d={d}",
                "is_globally_rigid",
                d,
                lambda f, n, e, d=d: f(n, e, d=d) if d != 2 else f(n, e),
                lambda g, d=d: g.is_globally_rigid(dim=d),
            ),
            (
                f"rigid_components d={d}",
                "rigid_components",
                d,
                lambda f, n, e, d=d: node_sets(f(n, e, d=d) if d != 2 else f(n, e)),
                lambda g, d=d: node_sets(g.rigid_components(dim=d)),
            ),
            (
                f"is_independent d={d}",
                "is_independent",
                d,
                lambda f, n, e, d=d: f(n, e, d=d),
                lambda g, d=d: g.is_Rd_independent(dim=d),
            ),
            (
                f"is_circuit d={d}",
                "is_circuit",
                d,
                lambda f, n, e, d=d: f(n, e, d=d),
                lambda g, d=d: g.is_Rd_circuit(dim=d),
            ),
            (
                f"rigidity_closure d={d}",
                "rigidity_closure",
                d,
                lambda f, n, e, d=d: edge_set(f(n, e, d=d)),
                lambda g, d=d: edge_set(g.Rd_closure(dim=d)),
            ),
        ]
    questions += [
        (
            "is_k_redundantly_rigid k=2",
            "is_k_redundantly_rigid",
            2,
            lambda f, n, e: f(n, e, 2),
            lambda g: g.is_k_redundantly_rigid(2, dim=2),
        ),
        (
            "is_vertex_redundantly_rigid",
            "is_vertex_redundantly_rigid",
            2,
            lambda f, n, e: f(n, e),
            lambda g: g.is_vertex_redundantly_rigid(dim=2),
        ),
    ]
    return questions


def framework_questions():
    questions = []
    for d in (2, 3):
        questions += [
            (
                f"infinitesimal_flexes d={d} (count)",
                "infinitesimal_flexes",
                d,
                lambda f, p, e: len(f(p, e)),
                lambda fw: len(fw.nontrivial_inf_flexes(numerical=True)),
            ),
            (
                f"self_stresses d={d} (count)",
                "self_stresses",
                d,
                lambda f, p, e: len(f(p, e)),
                lambda fw: len(fw.stresses(numerical=True)),
            ),
        ]
    return questions


def usable(name, d):
    function = ours(name)
    if function is None:
        return None
    if d == 3 and name not in ("is_rigid", "is_redundantly_rigid", "infinitesimal_flexes", "self_stresses"):
        if not takes_dimension(function):
            return None
    return function


def agreement(graphs, rng):
    """Yield (question, verdict) as each question is done."""
    for label, name, d, mine, theirs in graph_questions():
        function = usable(name, d)
        if function is None:
            yield label, "skipped: not in tarvel_tools"
            continue
        same = total = 0
        for n, edges in graphs:
            if name in ("is_k_redundantly_rigid", "is_vertex_redundantly_rigid", "rigid_components") and n > 7:
                continue  # the peer's brute force grows fast
            total += 1
            same += mine(function, n, edges) == theirs(peer_graph(n, edges))
        yield label, f"{same}/{total} equal"
    for label, name, d, mine, theirs in framework_questions():
        function = ours(name)
        if function is None:
            yield label, "skipped: not in tarvel_tools"
            continue
        same = total = 0
        for n, edges in graphs:
            positions = rng.integers(-5, 6, size=(n, d))
            if rng.random() < 0.3:  # degenerate: all points on a line
                positions = np.outer(rng.integers(-5, 6, size=n), rng.integers(1, 4, size=d))
            total += 1
            same += mine(function, positions, edges) == theirs(peer_framework(positions, edges))
        yield label, f"{same}/{total} equal"
    yield stress_matrix_agreement(graphs, rng)


def stress_matrix_agreement(graphs, rng):
    if ours("stress_matrix") is None or ours("self_stresses") is None:
        return ("stress_matrix", "skipped: not in tarvel_tools")
    same = total = 0
    for n, edges in graphs:
        positions = rng.integers(-5, 6, size=(n, 2))
        stresses = tarvel_tools.self_stresses(positions, edges)
        if not len(stresses):
            continue
        stress = stresses[0]
        mine = ours("stress_matrix")(positions, edges, stress).toarray()
        framework = peer_framework(positions, edges)
        theirs = np.array(framework.stress_matrix(list(stress), edge_order=[tuple(map(int, e)) for e in edges]), dtype=float)
        total += 1
        same += bool(np.allclose(mine, theirs, atol=1e-9))
    return ("stress_matrix", f"{same}/{total} equal")


def seconds(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def _timed_child(call, sender):
    try:
        sender.send(seconds(call))
    except Exception as error:  # noqa: BLE001 - the parent reports it
        sender.send(f"{type(error).__name__}: {error}")
    sender.close()


def peer_seconds_within(call, budget):
    """Seconds the peer's ``call`` takes, or None when it runs past ``budget`` (the child is then killed)."""
    context = multiprocessing.get_context("fork")  # the call is a closure: only fork hands it over
    receiver, sender = context.Pipe(duplex=False)
    child = context.Process(target=_timed_child, args=(call, sender), daemon=True)
    child.start()
    sender.close()
    try:
        if not receiver.poll(budget):
            return None
        answer = receiver.recv()
        if isinstance(answer, str):
            raise RuntimeError(f"the peer failed: {answer}")
        return answer
    except EOFError:  # the child died without an answer
        return None
    finally:
        if child.is_alive():
            child.kill()
        child.join()
        receiver.close()


def timing(budget, rng, only=""):
    """Per question: double n while the peer answers within the budget; time both at the last such n."""
    cases = [(q, False) for q in graph_questions()] + [(q, True) for q in framework_questions()]
    cases.append((("stress_matrix d=2", "stress_matrix", 2, None, None), True))
    for (label, name, d, mine, theirs), is_framework in cases:
        if only not in label:
            continue
        function = usable(name, d)
        if function is None:
            yield label, None, None, None, None
            continue
        n, best = 8, None
        while True:
            edges = demanding_graph(rng, name, n, d)
            if is_framework:
                positions = rng.integers(-50, 51, size=(n, d))
                if name == "stress_matrix":
                    # The zero stress: the peer accepts only stresses that it finds exactly in the
                    # cokernel, which a floating-point self-stress of a large framework is not.
                    stress = np.zeros(len(edges))
                    framework = peer_framework(positions, edges)
                    order = [tuple(map(int, e)) for e in edges]
                    peer_call = lambda fw=framework, s=stress, o=order: fw.stress_matrix(list(s), edge_order=o)  # noqa: E731
                    our_call = lambda p=positions, e=edges, s=stress: function(p, e, s)  # noqa: E731
                else:
                    framework = peer_framework(positions, edges)
                    peer_call = lambda fw=framework: theirs(fw)  # noqa: E731
                    our_call = lambda p=positions, e=edges: mine(function, p, e)  # noqa: E731
            elif name == "rigidity_closure":
                # Both answers as they come: sorting millions of pairs into tuples
                # for the comparison would cost more than either closure.
                graph = peer_graph(n, edges)
                peer_call = lambda g=graph, d=d: g.Rd_closure(dim=d)  # noqa: E731
                our_call = lambda k=n, e=edges, d=d: function(k, e, d=d)  # noqa: E731
            else:
                graph = peer_graph(n, edges)
                peer_call = lambda g=graph: theirs(g)  # noqa: E731
                our_call = lambda k=n, e=edges: mine(function, k, e)  # noqa: E731
            try:
                peer_seconds = peer_seconds_within(peer_call, budget)
            except RuntimeError as failure:  # e.g. the peer's recursion limit: time the size before
                print(f"  {label}: at n = {n} {failure}", flush=True)
                break
            if peer_seconds is None:
                break
            best = (n, peer_seconds, our_call)
            if n >= 4096:
                break
            n *= 2
        if best is None:
            yield label, 0, None, None, None
            continue
        n, peer_seconds, our_call = best
        repeats = max(1, min(50, int(0.5 / max(seconds(our_call), 1e-6))))
        our_seconds = min(seconds(our_call) for _ in range(repeats))
        if name == "rigidity_closure":
            pairs = len(our_call())
            write = min(seconds(lambda: np.empty((pairs, 2), dtype=np.int64).fill(1)) for _ in range(repeats))
            print(f"  {label}: {pairs} pairs; filling an int64 array of that shape alone takes {write * 1e3:.3f} ms", flush=True)
        yield label, n, our_seconds, peer_seconds, peer_seconds / max(our_seconds, 1e-9)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--graphs", type=int, default=300, help="random small graphs for the agreement (default 300)")
    parser.add_argument("--budget", type=float, default=60.0, help="seconds the peer may take at the timed size (default 60)")
    parser.add_argument("--seed", type=int, default=21)
    parser.add_argument("--skip-timing", action="store_true")
    parser.add_argument("--skip-agreement", action="store_true")
    parser.add_argument("--only", default="", help="time only the questions whose label contains this text")
    args = parser.parse_args()
    warnings.filterwarnings("ignore")  # the peer warns about its randomised algorithms
    rng = np.random.default_rng(args.seed)
    graphs = []
    for _ in range(args.graphs):
        n = int(rng.integers(3, 9))
        graphs.append((n, random_graph(rng, n, int(rng.integers(n - 1, n * (n - 1) // 2 + 1)))))

    if not args.skip_agreement:
        print(f"agreement with pyrigi {metadata.version('pyrigi')} on {args.graphs} random graphs, 3 <= n <= 8")
        for label, verdict in agreement(graphs, rng):
            print(f"  {label:<36} {verdict}", flush=True)
    if args.skip_timing:
        return
    print(f"\ntimes at the largest n (doubling from 8, at most 4096) where pyrigi answers within {args.budget:g} s")
    print(f"  {'question':<36} {'n':>5} {'tarvel_tools':>13} {'pyrigi':>10} {'pyrigi/ours':>12}")
    for label, n, mine, theirs, ratio in timing(args.budget, rng, args.only):
        if n is None:
            print(f"  {label:<36} skipped: not in tarvel_tools")
        elif mine is None:
            print(f"  {label:<36} pyrigi took longer than {args.budget:g} s already at n = 8")
        else:
            print(f"  {label:<36} {n:>5} {mine * 1e3:>10.3f} ms {theirs:>8.3f} s {ratio:>11.0f}x", flush=True)


if __name__ == "__main__":
    main()
