"""The command line in its own terms, and the package's version."""

import json
import os
import shlex
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import tarvel_tools
from tarvel_tools.cli import main as cli_main
from tarvel_tools.cli import whole_number

ROOT = Path(__file__).resolve().parents[3]
GENERATE = ["generate", "--graphs", "5", "--nodes", "4", "--dim", "2", "--seed", "0", "--shard-size", "2"]


def replaced(argv, option, value):
    """`argv` with the option's value replaced, or the option removed if `value` is None."""
    at = argv.index(option)
    return argv[:at] + argv[at + 2 :] if value is None else [*argv[: at + 1], value, *argv[at + 2 :]]


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (replaced(GENERATE, "--graphs", "-5"), "--graphs must be at least 0, got -5"),
        (replaced(GENERATE, "--graphs", "1.5"), "argument --graphs: not a whole number: '1.5'"),
        (replaced(GENERATE, "--graphs", "five"), "argument --graphs: not a number: 'five'"),
        (replaced(GENERATE, "--dim", "4"), "--dim must be 2 or 3, got 4"),
        (replaced(GENERATE, "--seed", str(2**64)), "--seed must be below 2**64, got 18446744073709551616"),
        (replaced(GENERATE, "--shard-size", "0"), "--shard-size must be at least 1, got 0"),
        (
            replaced(GENERATE, "--graphs", "1e12"),
            "--shard-size 2 makes 500,000,000,000 shards of 1,000,000,000,000 graphs; "
            "at most 1,000,000 are allowed: make them larger",
        ),
        ([*GENERATE, "--workers", "0"], "--workers must be at least 1, got 0"),
        (replaced(GENERATE, "--shard-size", None), "the following arguments are required: --shard-size"),
        (
            [*replaced(GENERATE, "--shard-size", None), "--shardsize", "2"],
            "unknown option --shardsize (did you mean --shard-size?)",
        ),
        (["verify", "somewhere", "--verbose"], "unknown option --verbose"),
        ([*GENERATE, "--model", "knn"], "model 'knn' needs the parameter --k (neighbours per node, 1 <= k <= n - 1)"),
        ([*GENERATE, "--model", "knn", "--k", "4"], "--k must be in [1, 3], got 4"),
        ([*GENERATE, "--extra-bars", "4"], "--extra-bars must be in [0, 3], got 4"),
        (
            [*GENERATE, "--model", "complete", "--labels", "generic"],
            "the training batch of complete graphs takes no model parameters, labels or tol: --labels",
        ),
    ],
)
def test_errors_name_the_option_typed(tmp_path, capsys, argv, message):
    with pytest.raises(SystemExit) as exit_info:
        cli_main([*argv, "--out", str(tmp_path / "data")] if argv[0] == "generate" else argv)
    assert exit_info.value.code == 2
    assert capsys.readouterr().err.endswith(f": error: {message}\n")
    assert not (tmp_path / "data").exists()


@pytest.mark.parametrize(
    ("text", "value"),
    [("1000000", 10**6), ("1_000_000", 10**6), ("1e6", 10**6), ("1.5e6", 1_500_000), ("2E3", 2000), ("-5", -5)],
)
def test_whole_numbers_may_be_written_in_several_ways(text, value):
    assert whole_number(text) == value and type(whole_number(text)) is int


@pytest.mark.parametrize("text", ["1.5", "1e-3", "nan", "inf", "1e100", "0x10", ""])
def test_other_numbers_are_refused(text):
    with pytest.raises(Exception, match="not a"):
        whole_number(text)


def test_verify_help_explains_dir(capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli_main(["verify", "-h"])
    assert exit_info.value.code == 0
    help_text = " ".join(capsys.readouterr().out.split())
    assert "DIR the dataset directory (the --out of generate)" in help_text
    assert "matches the SHA-256 checksum" in help_text


def test_generate_without_the_dataset_extra_says_what_to_install(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # imports of it fail
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    assert cli_main([*GENERATE, "--out", str(tmp_path / "data")]) == 1
    assert capsys.readouterr().err == "error: write_dataset needs pyarrow: pip install 'tarvel[dataset]'\n"


def test_version_is_the_package_version():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    assert tarvel_tools.__version__ == project["version"]


# ---------------------------------------------------------------- messages of a run, in the command line's terms


def run(argv, capsys):
    """Exit status, standard output and standard error of one command."""
    status = cli_main(argv)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


@pytest.fixture
def dataset_extra():
    pytest.importorskip("pyarrow")


def test_directories_that_are_files_or_not_ours_are_refused_in_one_line(tmp_path, capsys, dataset_extra):
    (tmp_path / "afile").write_text("")
    not_a_directory = f"error: {tmp_path / 'afile'} is a file, not a dataset directory\n"
    assert run(["verify", str(tmp_path / "afile")], capsys) == (1, "", not_a_directory)
    with pytest.raises(SystemExit) as exit_info:
        cli_main([*GENERATE, "--out", str(tmp_path / "afile")])
    assert exit_info.value.code == 2 and capsys.readouterr().err.endswith(
        f"error: --out {tmp_path / 'afile'} is a file: give a directory for the dataset\n")

    other = tmp_path / "other"
    other.mkdir()
    (other / "notes.txt").write_text("mine")
    status, out, err = run([*GENERATE, "--out", str(other), "--no-progress"], capsys)
    assert (status, out) == (2, "") and err == (
        f"error: {other} holds 1 file but no dataset (notes.txt): choose an empty or new directory, "
        "or pass --force to write the dataset beside them\n")
    assert sorted(p.name for p in other.iterdir()) == ["notes.txt"]
    status, out, err = run([*GENERATE, "--out", str(other), "--no-progress", "--force"], capsys)
    assert status == 0 and err == "" and (other / "notes.txt").read_text() == "mine"


def test_a_directory_that_cannot_be_written_is_named_not_its_lock(tmp_path, capsys, monkeypatch, dataset_extra):
    from tarvel_tools.dataset import store

    def refused(path):
        raise PermissionError(13, "Permission denied", str(path))

    monkeypatch.setattr(store, "_lock", refused)  # as a read-only directory does (root may write anywhere)
    out = tmp_path / "data"
    assert run([*GENERATE, "--out", str(out), "--no-progress"], capsys) == (
        1, "", f"error: cannot write into {out}: permission denied\n")


def test_counts_read_as_english_and_an_empty_dataset_says_so(tmp_path, capsys, dataset_extra):
    out = tmp_path / "data"
    status, first, err = run([*GENERATE, "--out", str(out), "--no-progress"], capsys)
    assert status == 0 and "wrote 5 graphs (3 shards) in" in first
    (out / "shard-000001.parquet").unlink()
    status, again, err = run([*GENERATE, "--out", str(out), "--no-progress"], capsys)
    assert "wrote 2 graphs (1 shard, 2 shards kept from an earlier run) in" in again
    empty = replaced(GENERATE, "--graphs", "0")
    status, out_text, err = run([*empty, "--out", str(tmp_path / "empty")], capsys)  # progress bar on
    assert (status, err) == (0, "") and ": an empty dataset (--graphs 0), written in" in out_text


def test_an_unfinished_dataset_tells_the_command_that_finishes_it(tmp_path, capsys, dataset_extra):
    out = tmp_path / "data set"
    argv = [*replaced(GENERATE, "--graphs", "6"), "--model", "knn", "--k", "2", "--out", str(out), "--no-progress"]
    assert run(argv, capsys)[0] == 0
    manifest = json.loads((out / "manifest.json").read_text())
    manifest["complete"], manifest["shards"][1]["sha256"] = False, None
    (out / "manifest.json").write_text(json.dumps(manifest))

    status, printed, err = run(["summarize", str(out)], capsys)
    assert (status, printed) == (1, "") and "rerun write_dataset" not in err
    command = err.split(": run ", 1)[1].removesuffix(" to complete it\n")
    assert command.startswith("python -m tarvel_tools generate --graphs 6 ")
    status, printed, err = run(shlex.split(command)[3:], capsys)  # the very command it tells, as typed
    assert status == 0 and "wrote 2 graphs (1 shard, 2 shards kept from an earlier run)" in printed
    assert run(["verify", str(out)], capsys)[0] == 0


@pytest.mark.parametrize("command", ["summarize", "verify"])
def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path, capsys, command, dataset_extra):
    assert run([*GENERATE, "--out", str(tmp_path), "--no-progress"], capsys)[0] == 0
    reader, writer = os.pipe()
    os.close(reader)  # as `... | head -2` has, once head has its lines
    env = {**os.environ, "PYTHONPATH": str(Path(tarvel_tools.__file__).resolve().parents[1])}
    try:
        finished = subprocess.run([sys.executable, "-m", "tarvel_tools", command, str(tmp_path)], stdout=writer,
                                  stderr=subprocess.PIPE, text=True, env=env, timeout=120)
    finally:
        os.close(writer)
    assert (finished.returncode, finished.stderr) == (141, "")


def test_a_default_that_does_not_fit_the_nodes_names_the_option_typed(capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli_main([*replaced(GENERATE, "--nodes", "1"), "--out", "unused"])
    assert exit_info.value.code == 2
    assert capsys.readouterr().err.endswith(
        "error: --nodes 1 is too few for the default --removed-bars 2 of model 'near-threshold': "
        "give --removed-bars in [0, 0] or more nodes\n")
