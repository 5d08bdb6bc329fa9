"""The interpreter's life around the module: strict warnings, sub-interpreters, exit with calls in flight."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap

import pytest

USE_EVERY_FUNCTION = """
    import numpy as np
    import tarvel

    coords = np.random.default_rng(0).random((6, 2))
    result = tarvel.simulate(coords, 2)
    tarvel.generate_training_batch(2, 5, 3, 1)
    tarvel.pebble_game(coords, 2)
    tarvel.gram_from_dist(result["distance_matrix"])
    tarvel.reconstruct(result["distance_matrix"], 2)
    tarvel.max_independent(6, 2)
    failures = [
        lambda: tarvel.simulate(coords, 3),
        lambda: tarvel.simulate(coords.astype(np.float32), 2),
        lambda: tarvel.generate_training_batch(1, 0, 2, 0),
        lambda: tarvel.reconstruct(np.zeros((2, 2)), 2),
        lambda: tarvel.max_independent(-1, 2),
    ]
    for failure in failures:
        try:
            failure()
        except BaseException:
            pass
    del result
"""


def run_python(code: str, *options: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of the same kind as this one."""
    return subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )


def test_development_mode_with_warnings_as_errors_is_silent() -> None:
    result = run_python(USE_EVERY_FUNCTION, "-X", "dev", "-W", "error")
    assert (result.returncode, result.stderr) == (0, "")


SUBINTERPRETER_SCRIPT = """
    import json, os, sys, tempfile
    import numpy as np
    import tarvel

    def legacy_runners():
        try:
            import _testcapi
            yield "run_in_subinterp", _testcapi.run_in_subinterp
        except (ImportError, AttributeError):
            pass
        try:
            import _xxsubinterpreters as interpreters  # 3.12
            yield "xxsubinterpreters", lambda code: run_and_destroy(interpreters, interpreters.create(isolated=False), code)
        except (ImportError, TypeError):
            pass
        try:
            import _interpreters as interpreters  # 3.13
            config = interpreters.new_config("legacy")
            yield "interpreters", lambda code: run_and_destroy(interpreters, interpreters.create(config), code)
        except (ImportError, AttributeError):
            pass

    def run_and_destroy(interpreters, interpreter, code):
        try:
            interpreters.run_string(interpreter, code)
        finally:
            interpreters.destroy(interpreter)

    def outcome_in(runner):
        path = os.path.join(tempfile.mkdtemp(), "outcome")
        runner(
            "try:\\n"
            "    import tarvel\\n"
            "    outcome = 'imported'\\n"
            "except BaseException as error:\\n"
            "    outcome = type(error).__name__ + ': ' + str(error)\\n"
            f"open({path!r}, 'w').write(outcome)\\n"
        )
        return open(path).read()

    coords = np.random.default_rng(3).random((7, 2))
    before = tarvel.simulate(coords, 2)
    report = {}
    for name, runner in legacy_runners():
        outcomes = [outcome_in(runner), outcome_in(runner)]
        after = tarvel.simulate(coords, 2)
        report[name] = {
            "outcomes": outcomes,
            "same": after["labels"].tobytes() == before["labels"].tobytes()
                    and after["distance_matrix"].tobytes() == before["distance_matrix"].tobytes(),
            "module": sys.modules["tarvel"] is tarvel,
        }
    print(json.dumps(report))
"""

REFUSAL = "ImportError: PyO3 modules do not yet support subinterpreters, see "


def test_every_legacy_subinterpreter_is_refused_and_the_module_keeps_working() -> None:
    result = run_python(SUBINTERPRETER_SCRIPT)
    assert result.returncode == 0, result.stderr
    report: dict[str, dict[str, object]] = json.loads(result.stdout)
    if not report:
        pytest.skip("no legacy sub-interpreter runner in this build")
    for name, entry in report.items():
        outcomes = entry["outcomes"]
        assert isinstance(outcomes, list) and len(outcomes) == 2, name
        assert all(isinstance(o, str) and o.startswith(REFUSAL) for o in outcomes), (name, outcomes)
        assert entry["same"] and entry["module"], name


DAEMON_SCRIPT = """
    import sys, threading, time
    import numpy as np
    import tarvel

    kind, threads, delay = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    rng = np.random.default_rng(0)
    line = np.column_stack([np.arange(40.0), np.zeros(40)])  # full pass: two lock-free sections
    symmetric = rng.random((40, 40)) + rng.random((40, 40)).T
    CALLS = {
        "simulate": lambda: tarvel.simulate(line, 2),
        "reconstruct": lambda: tarvel.reconstruct(symmetric, 2),
        "generate_training_batch": lambda: tarvel.generate_training_batch(4, 20, 2, 1),
        "pebble_game": lambda: tarvel.pebble_game(np.zeros((300, 0)), 2),
    }

    def loop():
        while True:
            CALLS[kind]()

    for _ in range(threads):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(delay)
"""

# (threads, seconds before the main thread leaves)
EXIT_TIMINGS = [(2, 0.0), (4, 0.02), (4, 0.1), (8, 0.25)]


def exits_cleanly(kind: str) -> list[str]:
    """Problems seen when the interpreter exits under daemon threads calling `kind`."""
    problems = []
    for threads, delay in EXIT_TIMINGS:
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(DAEMON_SCRIPT), kind, str(threads), str(delay)],
            capture_output=True, text=True, timeout=120,
        )
        if result.returncode != 0 or result.stderr:  # a sanitizer report or a fatal error
            problems.append(f"{threads} threads, {delay} s: exit {result.returncode} {result.stderr[-300:]!r}")
    return problems


@pytest.mark.parametrize("kind", ["simulate", "reconstruct", "generate_training_batch", "pebble_game"])
def test_exit_with_daemon_threads_inside_calls(kind: str) -> None:
    assert exits_cleanly(kind) == []
