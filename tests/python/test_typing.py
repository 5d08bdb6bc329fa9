"""The shipped stubs: mypy sees the signatures and the result dictionaries' keys."""

import pathlib
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parents[2]

GOOD = """
    import numpy as np
    import tarvel

    result = tarvel.simulate(np.zeros((4, 2)), 2)
    rank: int = result["final_rank"]
    rigid: bool = result["is_rigid"]
    batch = tarvel.generate_training_batch(1, 4, 2, 0)
    edges: list[tuple[int, int]] = batch[0]["accepted_edges"]
    stress: float = tarvel.reconstruct(np.zeros((3, 3)), 2)["stress"]
    n: int = tarvel.max_independent(10, 2)
"""

BAD = """
    import numpy as np
    import tarvel

    tarvel.simulate(np.zeros((4, 2)), 2)["rank"]
    tarvel.max_independent("ten", 2)
"""


def run_mypy_strict(directory, *targets):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(directory / "cache"),
         *targets],
        capture_output=True,
        text=True,
        cwd=directory,
    )


def test_mypy_checks_calls_and_result_keys(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    (tmp_path / "bad.py").write_text(textwrap.dedent(BAD))
    result = run_mypy_strict(tmp_path, "good.py", "bad.py")
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert not [line for line in errors if line.startswith("good.py")], result.stdout
    bad = "\n".join(line for line in errors if line.startswith("bad.py"))
    assert 'TypedDict "SimulationResult" has no key "rank"' in bad
    assert 'incompatible type "str"; expected "int"' in bad


def test_companion_package_is_strictly_typed(tmp_path):
    # The project's settings say how to take the optional extras, installed or not.
    result = run_mypy_strict(tmp_path, "--config-file", str(ROOT / "pyproject.toml"), "-p", "tarvel_tools")
    assert result.returncode == 0, result.stdout + result.stderr
