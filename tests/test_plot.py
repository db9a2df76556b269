"""The result pictures, drawn headless and read back from the Figure: which points,
which fitted line and band, which levels, which labels."""

import math

import numpy as np
import pytest

pytest.importorskip("matplotlib")

from korvel import plot  # noqa: E402


def line_by_label(ax, label):
    found = [ln for ln in ax.get_lines() if ln.get_label() == label]
    return found[0] if found else None


def dmrg_info(points, **extra):
    """The extrapolation info as the analysis module makes it, else NumPy's fit."""
    try:
        from korvel.core.analysis import dmrg_extrapolate
        info = dict(dmrg_extrapolate(points))
    except ImportError:
        use = [p for p in points if p["discarded_weight"] > 0]
        (s, e0), cov = np.polyfit([p["discarded_weight"] for p in use],
                                  [p["energy"] for p in use], 1, cov=True)
        info = {"extrapolated_energy": e0, "ci95_halfwidth": 1.96 * math.sqrt(cov[1, 1]),
                "slope": s, "lowest_computed": min(p["energy"] for p in points),
                "points": points}
    info.update(extra)
    return info


NOISY = [{"D": 20, "energy": -3.2000, "discarded_weight": 3.0e-4},
         {"D": 40, "energy": -3.2093, "discarded_weight": 1.1e-4},
         {"D": 60, "energy": -3.2110, "discarded_weight": 4.0e-5},
         {"D": 80, "energy": -3.2121, "discarded_weight": 1.0e-5}]


def test_dmrg_panel_holds_points_fit_band_and_exact():
    info = dmrg_info([dict(p) for p in NOISY])
    fig = plot.results_figure(dmrg=info, exact=-3.2125)
    assert type(fig.canvas).__name__ == "FigureCanvasAgg"
    (ax,) = fig.axes
    assert ax.get_xlabel() == "discarded weight" and "Eh" in ax.get_ylabel()
    # the line is fitted to the three largest bond dimensions; D = 20 is shown apart
    fitted_runs, other_runs = NOISY[1:], NOISY[:1]
    pts = line_by_label(ax, "DMRG, fitted")
    assert list(pts.get_xdata()) == [p["discarded_weight"] for p in fitted_runs]
    assert list(pts.get_ydata()) == [p["energy"] for p in fitted_runs]
    others = line_by_label(ax, "DMRG, not fitted")
    assert list(others.get_ydata()) == [p["energy"] for p in other_runs]
    # the fitted line is NumPy's least-squares line through the fitted points
    (s, e0), cov = np.polyfit([p["discarded_weight"] for p in fitted_runs],
                              [p["energy"] for p in fitted_runs], 1, cov=True)
    fit = line_by_label(ax, "linear fit")
    x, y = np.asarray(fit.get_xdata()), np.asarray(fit.get_ydata())
    assert x[0] == 0.0 and y[0] == pytest.approx(e0, abs=1e-12)
    assert np.allclose(y, e0 + s * x, atol=1e-12)
    # the band: Student's t (one degree of freedom for three points) standard errors of
    # the fitted line at every dw
    from scipy.stats import t
    (band,) = [c for c in ax.collections if c.get_label() == "95 % band"]
    verts = band.get_paths()[0].vertices
    half = t.ppf(0.975, 1) * np.sqrt(cov[0, 0] * verts[:, 0] ** 2
                                     + 2 * cov[0, 1] * verts[:, 0] + cov[1, 1])
    assert np.allclose(np.abs(verts[:, 1] - (e0 + s * verts[:, 0])), half, rtol=1e-6,
                       atol=1e-12)
    exact = [ln for ln in ax.get_lines() if ln.get_label().startswith("exact")]
    assert exact and set(exact[0].get_ydata()) == {-3.2125}
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    assert f"extrapolated {e0:.6f} Eh" in legend


@pytest.mark.parametrize("extra, fitted_d", [
    ({}, [40, 60, 80]),                               # the three largest bond dimensions
    ({"fitted_bond_dims": [60, 80]}, [60, 80]),       # as the info says
])
def test_dmrg_panel_marks_fitted_and_other_points(extra, fitted_d):
    # the three largest D are fitted whatever their weights; their line rises with the
    # weight (a line that falls is no extrapolation and is not drawn)
    points = [{"D": 10, "energy": -0.9, "discarded_weight": 5e-3},
              {"D": 20, "energy": -1.0, "discarded_weight": float("nan")},
              {"D": 40, "energy": -1.28, "discarded_weight": 2e-4},
              {"D": 60, "energy": -1.29, "discarded_weight": 1e-4},
              {"D": 80, "energy": -1.10, "discarded_weight": 2e-3}]
    info = dmrg_info(points, **extra)
    (ax,) = plot.results_figure(dmrg=info).axes
    shown = {p["D"]: p for p in points if not math.isnan(p["discarded_weight"])}
    fitted = line_by_label(ax, "DMRG, fitted")
    assert sorted(fitted.get_ydata()) == sorted(shown[d]["energy"] for d in fitted_d)
    others = line_by_label(ax, "DMRG, not fitted")
    assert len(others.get_xdata()) == len(shown) - len(fitted_d)
    assert "without a discarded weight" in " ".join(t.get_text() for t in ax.texts)


@pytest.mark.parametrize("points, extra", [
    ([{"D": 50, "energy": -1.0, "discarded_weight": 1e-5}], {}),
    (NOISY, {"extrapolated": False}),             # extrapolation switched off
])
def test_no_line_without_a_fit(points, extra):
    info = dmrg_info([dict(p) for p in points], **extra)
    (ax,) = plot.results_figure(dmrg=info).axes
    assert line_by_label(ax, "linear fit") is None and not ax.collections
    assert line_by_label(ax, "DMRG, fitted") is None
    assert len(line_by_label(ax, "DMRG").get_xdata()) == len(points)


def test_a_converged_run_is_marked_with_its_energy():
    points = [{"D": 20, "energy": -3.2441, "discarded_weight": 2e-6},
              {"D": 40, "energy": -3.24454, "discarded_weight": 3e-10},
              {"D": 60, "energy": -3.2445422400, "discarded_weight": 0.0}]
    info = dmrg_info([dict(p) for p in points])
    if "converged" not in info:
        pytest.skip("needs the analysis module's converged rule")
    assert info["converged"] is True
    (ax,) = plot.results_figure(dmrg=info, exact=-3.2445422400).axes
    marker = line_by_label(ax, "converged (D=60) -3.244542 Eh")
    assert marker is not None
    assert list(marker.get_ydata()) == [-3.2445422400]
    assert line_by_label(ax, "linear fit") is None
    assert len(line_by_label(ax, "DMRG").get_xdata()) == 3  # every run still shown


def test_ladder_and_both_panels():
    levels = [("SCF", -1.10), ("CASCI", -1.13), ("downfolded", -1.1505), ("exact", -1.151)]
    fig = plot.results_figure(dmrg=dmrg_info([dict(p) for p in NOISY]), levels=levels,
                              title="job")
    assert len(fig.axes) == 2
    ax = fig.axes[1]
    assert [t.get_text() for t in ax.get_xticklabels()] == [n for n, _ in levels]
    heights = [seg[0][1] for coll in ax.collections for seg in coll.get_segments()]
    assert heights == [e for _, e in levels]
    assert "Eh" in ax.get_ylabel()
    notes = [t.get_text() for t in ax.texts]
    assert "-1.100000\n+51.00 mEh" in notes and "-1.151000" in notes
    # an unknown energy is left out, not drawn at zero
    (ax,) = plot.results_figure(levels=[("SCF", -1.1), ("CASCI", None), ("exact", -1.2)]).axes
    assert [t.get_text() for t in ax.get_xticklabels()] == ["SCF", "exact"]


@pytest.mark.parametrize("ext, magic", [(".png", b"\x89PNG"), (".svg", b"<?xml"),
                                        (".pdf", b"%PDF")])
def test_save_figure_by_extension(tmp_path, ext, magic):
    fig = plot.results_figure(levels=[("SCF", -1.0), ("exact", -1.1)])
    plot.save_figure(fig, tmp_path / f"out{ext}")
    assert (tmp_path / f"out{ext}").read_bytes().startswith(magic)
    assert [p.name for p in tmp_path.iterdir()] == [f"out{ext}"]


def test_bad_requests():
    with pytest.raises(ValueError, match=r"\.png"):
        plot.check_plot_path("out.jpg")
    with pytest.raises(ValueError, match="nothing to plot"):
        plot.results_figure()


H6_RUNS = [{"D": 20, "energy": -3.2437526, "discarded_weight": 2.1e-6},
           {"D": 40, "energy": -3.2445401, "discarded_weight": 3.0e-10},
           {"D": 60, "energy": -3.2445422400, "discarded_weight": 0.0}]


@pytest.mark.parametrize("points", [H6_RUNS, NOISY], ids=["converged", "fitted"])
def test_bond_dimension_labels_stay_inside_the_panel(points):
    """Every "D=..." label is drawn whole inside its axes (the run of the smallest D
    sits in the upper right corner, where a label to its right ran off the edge)."""
    fig = plot.results_figure(dmrg=dmrg_info([dict(p) for p in points]), exact=-3.2445422400)
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    (ax,) = fig.axes
    box = ax.get_window_extent(renderer)
    labels = [t for t in ax.texts if t.get_text().startswith("D=")]
    assert sorted(t.get_text() for t in labels) == sorted(f"D={p['D']}" for p in points)
    for text in labels:
        ext = text.get_window_extent(renderer)
        assert (box.x0 <= ext.x0 and ext.x1 <= box.x1 and box.y0 <= ext.y0
                and ext.y1 <= box.y1), (text.get_text(), ext, box)


def test_a_converged_run_is_found_by_its_bond_dimension():
    """The info names the converged run under converged_bond_dim and lists no fitted
    run; the marker sits on that run."""
    info = dmrg_info([dict(p) for p in H6_RUNS])
    if "converged_bond_dim" not in info:
        pytest.skip("needs the analysis module's converged rule")
    assert info["fitted_bond_dims"] == [] and info["converged_bond_dim"] == 60
    (ax,) = plot.results_figure(dmrg=info).axes
    marker = line_by_label(ax, "converged (D=60) -3.244542 Eh")
    assert list(marker.get_xdata()) == [0.0]


def test_ladder_title_names_the_active_space():
    levels = [("SCF", -74.96), ("CASCI", -74.97), ("downfolded", -75.01), ("exact", -75.012)]
    (ax,) = plot.results_figure(levels=levels, active_space=(4, 4)).axes
    assert ax.get_title() == "energy ladder, active space (4e, 4o)"
    (ax,) = plot.results_figure(levels=levels).axes
    assert ax.get_title() == "energy ladder"
