"""The README's examples and the demo run as written."""

import importlib.util
import pathlib
import re
import runpy
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# Examples of the optional extras skip where the extra is not installed.
OPTIONAL_MODULES = {"matplotlib", "pyarrow", "tqdm", "dask", "distributed", "torch", "torch_geometric"}


def readme_python_blocks():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(r"```python\n(.*?)```", readme, flags=re.DOTALL)


@pytest.mark.parametrize("block", readme_python_blocks(), ids=lambda block: block.splitlines()[-1][:40])
def test_readme_python_example_runs(block):
    if re.search(r"^import torch$", block, flags=re.MULTILINE):
        run_in_a_fresh_interpreter(block)
        return
    try:
        exec(compile(block, "README.md", "exec"), {})
    except ModuleNotFoundError as missing:
        if missing.name.split(".")[0] not in OPTIONAL_MODULES:
            raise
        pytest.skip(f"optional {missing.name} is not installed")
    except ImportError as missing:
        if "pip install 'tarvel[" not in str(missing):
            raise
        pytest.skip(str(missing))


def test_quickstart_runs(capsys, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)  # the demo writes its pictures into ./demo-output
    runpy.run_path(str(ROOT / "examples" / "quickstart.py"), run_name="__main__")
    out = capsys.readouterr().out
    assert "unit square: labels [1, 1, 1, 1, 1, 0]" in out
    assert "isometric: True" in out


def run_in_a_fresh_interpreter(block):
    """Run an example that trains with torch as a user would, in an interpreter of its own.

    torch's autograd refuses to run in a process where a legacy sub-interpreter
    has run (as the suite's sub-interpreter tests do): its check of the thread
    state then reads the lock as held.
    """
    missing = [name for name in ("torch", "torch_geometric", "pyarrow") if importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"optional {missing[0]} is not installed")
    finished = subprocess.run([sys.executable, "-c", block], capture_output=True, text=True, timeout=600)
    assert finished.returncode == 0, finished.stderr
