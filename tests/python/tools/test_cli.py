"""The command line in its own terms, and the package's version."""

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
