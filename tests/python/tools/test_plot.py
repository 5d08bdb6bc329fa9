"""plot_framework / plot_reconstruction, rendered headless."""

import io
import pathlib
import runpy
import sys

import numpy as np
import pytest

import tarvel
from tarvel_tools.checks import procrustes_rmse

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.collections import LineCollection  # noqa: E402

from tarvel_tools.plot import plot_framework, plot_reconstruction, screen_coordinates  # noqa: E402

COLLINEAR_TRIPLE = np.array([[0.0, 0.0], [4.0, 0.0], [2.0, 0.0], [0.6, 2.4], [3.3, 2.1], [2.0, 3.9], [1.6, 1.5]])


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def bar_collection(ax, kind):
    (found,) = [c for c in ax.collections if isinstance(c, LineCollection) and c.get_label().startswith(kind)]
    return found


def is_solid(collection):
    return all(dashes is None for _, dashes in collection.get_linestyle())


def segment_set(collection):
    return {tuple(np.round(segment, 12).ravel()) for segment in collection.get_segments()}


def expected_segments(points, pairs):
    return {tuple(np.round(np.concatenate([points[i], points[j]]), 12)) for i, j in pairs}


def rendered_pixels(figure):
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    buffer.seek(0)
    return plt.imread(buffer)


@pytest.mark.parametrize(
    "coords",
    [COLLINEAR_TRIPLE, np.random.default_rng(3).uniform(0, 5, size=(6, 3))],
    ids=["planar", "spatial"],
)
def test_bars_are_styled_by_their_labels(coords):
    d = coords.shape[1]
    result = tarvel.simulate(coords, d)
    ax = plot_framework(coords, result)
    independent, redundant = bar_collection(ax, "independent"), bar_collection(ax, "redundant")

    assert is_solid(independent) and independent.get_alpha() == 1.0
    assert not is_solid(redundant) and redundant.get_alpha() < 0.7
    assert min(redundant.get_linewidths()) < min(independent.get_linewidths())

    points = screen_coordinates(coords)
    pairs = [(i, j) for i in range(len(coords)) for j in range(i + 1, len(coords))]
    labels = result["labels"].tolist()
    assert segment_set(independent) == expected_segments(points, result["accepted_edges"])
    assert segment_set(redundant) == expected_segments(points, [p for p, y in zip(pairs, labels) if y == 0])


def test_picture_is_drawn_with_numbered_nodes_and_a_title():
    result = tarvel.simulate(COLLINEAR_TRIPLE, 2)
    ax = plot_framework(COLLINEAR_TRIPLE, result, title="triple")
    pixels = rendered_pixels(ax.figure)
    assert pixels.std() > 0.05 and len(np.unique(pixels.reshape(-1, pixels.shape[-1]), axis=0)) > 50
    assert sorted(text.get_text() for text in ax.texts) == sorted(str(i) for i in range(7))
    assert ax.get_title() == "triple\nrank 11 of max 11: rigid"
    x_low, x_high = ax.get_xlim()
    assert x_low < 0.0 and x_high > 4.0  # collections do not widen the limits themselves


@pytest.mark.parametrize(
    "coords, d, title",
    [
        (np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]]), 2, "rank 2 of max 3: not rigid"),
        (np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]]), 3, "rank 5 of max 6: not rigid"),
    ],
)
def test_title_reports_a_flexible_framework(coords, d, title):
    assert plot_framework(coords, tarvel.simulate(coords, d)).get_title() == title


def test_pebble_game_results_are_drawn_too():
    game = tarvel.pebble_game(COLLINEAR_TRIPLE, 2)
    ax = plot_framework(COLLINEAR_TRIPLE, game)
    assert ax.get_title() == f"{int(game['labels'].sum())} independent bars of 21"
    assert len(bar_collection(ax, "independent").get_segments()) == int(game["labels"].sum())


def test_options_and_given_axes():
    figure, ax = plt.subplots()
    returned = plot_framework(COLLINEAR_TRIPLE, tarvel.simulate(COLLINEAR_TRIPLE, 2), ax=ax,
                              show_redundant=False, number_nodes=False, legend=False)
    assert returned is ax
    assert not [c for c in ax.collections if c.get_label().startswith("redundant")]
    assert len(ax.texts) == 0 and ax.get_legend() is None


def test_positions_must_match_the_result(unit_square):
    result = tarvel.simulate(unit_square, 2)
    with pytest.raises(ValueError, match="positions have shape"):
        plot_framework(unit_square[:3], result)
    with pytest.raises(ValueError, match="labels have shape"):
        plot_framework(unit_square, {**result, "labels": result["labels"][:-1]})
    with pytest.raises(ValueError, match=r"shape \(n, 2\) or \(n, 3\)"):
        plot_framework(np.zeros((4, 4)), result)


def test_reconstruction_is_drawn_aligned_onto_the_original():
    original = np.random.default_rng(5).uniform(0, 5, size=(8, 2))
    turned = original[:, ::-1] * [1.0, -1.0] + 10.0  # a reflection plus a shift
    turned[0] += 0.3
    ax = plot_reconstruction(original, turned, edges=[(0, 1), (1, 2)], title="demo")
    dots, crosses = [c for c in ax.collections if c.get_label() in ("original", "reconstruction (aligned)")]
    np.testing.assert_allclose(dots.get_offsets(), original)
    assert np.abs(np.asarray(crosses.get_offsets()) - original).max() < 0.3  # moved back onto the original
    assert ax.get_title() == f"demo\nProcrustes RMSE {procrustes_rmse(original, turned):.3g}"
    assert rendered_pixels(ax.figure).std() > 0.05


def test_missing_matplotlib_names_the_extra(monkeypatch, unit_square):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"plot_framework needs matplotlib: pip install 'tarvel\[plot\]'"):
        plot_framework(unit_square, tarvel.simulate(unit_square, 2))


def test_rigid_components_take_one_colour_each_and_redundant_bars_are_dashed():
    from tarvel_tools.plot import plot_rigid_components

    # Two triangles sharing node 2, and a doubled bar that is redundant.
    points = np.array([[0.0, 0.0], [1.0, 0.0], [0.5, 1.0], [1.5, 1.2], [0.9, 2.0]])
    edges = [(0, 1), (1, 2), (0, 2), (2, 3), (3, 4), (2, 4), (4, 3)]
    ax = plot_rigid_components(points, edges, title="bowtie")
    independent, redundant = bar_collection(ax, "independent"), bar_collection(ax, "redundant")
    assert is_solid(independent) and not is_solid(redundant)
    assert segment_set(redundant) == expected_segments(points, [(4, 3)])
    colours = [tuple(c) for c in independent.get_colors()]
    assert colours[0] == colours[1] == colours[2] != colours[3] == colours[4] == colours[5]
    assert tuple(redundant.get_colors()[0][:3]) == colours[3][:3]  # its component's colour, fainter
    assert ax.get_title() == "bowtie\nflexible: 2 rigid components, 1 degree of freedom"


# ---------------------------------------------------------------- pictures that read

ROOT = pathlib.Path(__file__).resolve().parents[3]


def drawn_nodes(ax):
    """Centres and diameter of the node discs, in pixels of the rendered figure."""
    (discs,) = [c for c in ax.collections if c.get_gid() == "nodes"]
    ax.figure.canvas.draw()  # settles the equal-aspect box
    centres = ax.transData.transform(discs.get_offsets())
    width = float(discs.get_widths()[0])
    diameter = ax.transData.transform([[width, 0.0]])[0, 0] - ax.transData.transform([[0.0, 0.0]])[0, 0]
    return centres, diameter


def closest_distance(centres):
    from scipy.spatial.distance import pdist

    return float(pdist(centres).min())


def test_readme_pictures_have_no_overlapping_nodes(tmp_path, capsys):
    pytest.importorskip("pyarrow")
    sensors = runpy.run_path(str(ROOT / "examples" / "rigid_components.py"))["main"](tmp_path / "sensors.png")
    from tarvel_tools.dataset import write_dataset

    write_dataset(tmp_path / "data", 600, 12, 2, 2024, 300, model="near-threshold", progress=False)  # as the demo, fewer
    gallery = runpy.run_path(str(ROOT / "examples" / "model_gallery.py"))["main"](tmp_path / "data", tmp_path / "g.png")
    pictures = [*sensors.axes, *gallery.axes]
    assert len(pictures) == 7
    for ax in pictures:
        centres, diameter = drawn_nodes(ax)
        assert diameter > 8.0  # pixels: a disc that holds its number
        assert closest_distance(centres) >= diameter, ax.get_title()


def test_coincident_and_close_nodes_are_moved_apart_and_their_bars_follow():
    from tarvel_tools.plot import plot_rigid_components

    # Three copies of one point, and a fourth point a hair away from them.
    points = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [1.0, 1.0], [1.0, 1.0], [1.0, 1.0 + 1e-9], [0.0, 1.0]])
    edges = [(0, 1), (1, 2), (2, 3), (3, 4), (4, 5), (5, 6), (6, 0)]
    ax = plot_rigid_components(points, edges)
    centres, diameter = drawn_nodes(ax)
    assert closest_distance(centres) >= diameter
    moved = ax.transData.inverted().transform(centres)
    assert np.abs(moved[[0, 1, 6]] - points[[0, 1, 6]]).max() < 1e-12  # nodes with room stay where they are
    assert np.abs(moved - points).max() < 0.2  # the others move by about a disc, no more
    drawn_bars = {tuple(np.round(s, 9).ravel()) for c in ax.collections if isinstance(c, LineCollection)
                  for s in c.get_segments()}
    assert drawn_bars == {tuple(np.round(np.concatenate([moved[i], moved[j]]), 9)) for i, j in edges}


def test_every_component_has_a_colour_of_its_own():
    from tarvel_tools.plot import component_colours, plot_rigid_components

    assert len(set(component_colours(300))) == 300
    path = [(k, k + 1) for k in range(24)]  # 24 bars, each its own rigid component
    ax = plot_rigid_components(np.column_stack([np.arange(25.0), np.sin(np.arange(25.0))]), path)
    colours = [tuple(c) for c in bar_collection(ax, "independent").get_colors()]
    assert len(set(colours)) == 24


def test_a_graph_without_positions_is_laid_out_without_overlaps():
    nx = pytest.importorskip("networkx")
    from tarvel_tools.plot import plot_rigid_components, spring_layout

    graph = nx.convert_node_labels_to_integers(nx.grid_2d_graph(5, 6))
    ax = plot_rigid_components(None, graph)
    centres, diameter = drawn_nodes(ax)
    assert len(centres) == 30 and closest_distance(centres) >= diameter
    # A force-directed layout keeps neighbours closer than the rest.
    layout = spring_layout(30, list(graph.edges))
    assert np.array_equal(layout, spring_layout(30, list(graph.edges)))  # seeded
    near = np.mean([np.linalg.norm(layout[u] - layout[v]) for u, v in graph.edges])
    assert near < 0.5 * np.mean(np.linalg.norm(layout[:, None] - layout[None, :], axis=2))
