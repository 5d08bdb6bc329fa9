"""The module object: its surface, re-initialisation, sub-interpreters, faults."""

import ctypes
import importlib
import inspect
import shutil
import subprocess
import sys
import textwrap

import pytest

import tarvel

NAMES = ["simulate", "gram_from_dist", "generate_training_batch", "max_independent", "reconstruct", "pebble_game"]

SIGNATURES = {
    "simulate": "(coords, d, tol=None)",
    "gram_from_dist": "(dist)",
    "generate_training_batch": "(n_graphs, n_nodes, d, seed)",
    "max_independent": "(n, d)",
    "reconstruct": "(distance_matrix, d, tol=None)",
    "pebble_game": "(coords, d)",
}

DOC_FIRST_LINES = {
    "simulate": "Run the rigidity simulation using the fast-path algorithm.",
    "gram_from_dist": "Compute the Gram matrix from an Euclidean distance matrix using double-centering.",
    "generate_training_batch": "Generate a batch of random simulation results for GNN training.",
    "max_independent": "Max independent edges for n nodes in d dimensions: nd − d(d+1)/2",
    "reconstruct": "Reconstruct node coordinates from a Euclidean distance matrix (Classical MDS).",
    "pebble_game": "Run the Pebble Game algorithm — O(n^2), deterministic, no matrix rank needed.",
}


def exported_symbols(path):
    """The names an ELF shared object defines in its dynamic symbol table."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm (binutils) to read the dynamic symbol table")
    listing = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    return {line.split()[-1] for line in listing.splitlines() if line.strip()}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads an ELF dynamic symbol table")
@pytest.mark.parametrize("module,entry", [("tarvel", "PyInit_tarvel"), ("tarvel_tools._native", "PyInit__native")])
def test_each_extension_exports_only_its_entry(module, entry):
    assert exported_symbols(importlib.import_module(module).__file__) == {entry}


def test_module_surface_is_exactly_the_six_functions():
    assert tarvel.__all__ == NAMES
    standard = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__", "__all__"}
    assert set(vars(tarvel)) - standard == set(NAMES)
    assert tarvel.__doc__ == ""
    assert not hasattr(tarvel, "PanicException")


@pytest.mark.parametrize("name", NAMES)
def test_function_signature_and_docstring(name):
    function = getattr(tarvel, name)
    assert function.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__doc__.split("\n")[0] == DOC_FIRST_LINES[name]
    assert not function.__doc__.endswith("\n")
    assert function.__module__ == "tarvel"
    assert function.__self__ is tarvel


def test_simulate_docstring_in_full():
    assert tarvel.simulate.__doc__.endswith('  "n_nodes"          int\n  "d"                int')
    assert '"max_rank"         int              nd − d(d+1)/2' in tarvel.simulate.__doc__


def test_second_initialisation_returns_the_cached_module():
    library = ctypes.PyDLL(tarvel.__file__)
    library.PyInit_tarvel.restype = ctypes.py_object
    again = library.PyInit_tarvel()
    assert again is tarvel
    assert again.simulate is tarvel.simulate


def _run_in_legacy_subinterpreter(tmp_path, run):
    out = tmp_path / "outcome.txt"
    code = textwrap.dedent(f"""
        try:
            import tarvel
            outcome = "imported"
        except BaseException as error:
            outcome = type(error).__name__ + ": " + str(error)
        with open({str(out)!r}, "w") as f:
            f.write(outcome)
    """)
    run(code)
    return out.read_text()


def test_second_interpreter_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no legacy sub-interpreter runner")
    outcome = _run_in_legacy_subinterpreter(tmp_path, testcapi.run_in_subinterp)
    assert outcome == (
        "ImportError: PyO3 modules do not yet support subinterpreters, see "
        "https://docs.python.org/3/howto/isolating-extensions.html"
    )


def _run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)


def test_missing_numpy_is_an_internal_fault_caused_by_the_import_error():
    result = _run_python("""
        import sys
        sys.modules["numpy"] = None  # import numpy now fails
        import tarvel
        try:
            try:
                tarvel.gram_from_dist(object())
            except Exception:
                print("caught by Exception")
        except BaseException as fault:
            kind = type(fault)
            print(kind.__module__ + "." + kind.__qualname__, kind.__bases__[0].__name__)
            print(str(fault).startswith("Failed to access NumPy array API capsule"))
            print(type(fault.__cause__).__name__)
        print(tarvel.max_independent(3, 2))
    """)
    assert result.stdout.split("\n")[:4] == [
        "pyo3_runtime.PanicException BaseException", "True", "ModuleNotFoundError", "3"
    ]
    assert result.stderr == ""
