"""The README's examples and the demo run as written."""

import pathlib
import re
import runpy

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_readme_python_examples_run():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```python\n(.*?)```", readme, flags=re.DOTALL)
    assert blocks
    for block in blocks:
        exec(compile(block, "README.md", "exec"), {})


def test_quickstart_runs(capsys, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)  # the demo writes its pictures into ./demo-output
    runpy.run_path(str(ROOT / "examples" / "quickstart.py"), run_name="__main__")
    out = capsys.readouterr().out
    assert "unit square: labels [1, 1, 1, 1, 1, 0]" in out
    assert "isometric: True" in out
