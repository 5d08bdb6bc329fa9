"""The README's examples and the demo run as written."""

import pathlib
import re
import runpy

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# Examples of the optional extras skip where the extra is not installed.
OPTIONAL_MODULES = {"matplotlib", "pyarrow", "tqdm", "dask", "distributed", "torch", "torch_geometric"}


def readme_python_blocks():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(r"```python\n(.*?)```", readme, flags=re.DOTALL)


@pytest.mark.parametrize("block", readme_python_blocks(), ids=lambda block: block.splitlines()[-1][:40])
def test_readme_python_example_runs(block):
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
