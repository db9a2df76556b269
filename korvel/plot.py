"""Pictures of a run's results: the DMRG extrapolation in the discarded weight and
the energy ladder from the mean field to the exact energy.

matplotlib is optional (``pip install "korvel[plot]"``). Figures are built on
matplotlib's ``Figure`` with the Agg canvas, never through pyplot, so nothing needs a
display and no global backend state is touched. Each ``*_figure`` function returns
the Figure, whose Axes can be inspected; :func:`save_figure` writes it.
"""

from __future__ import annotations

import math
import os

PLOT_FORMATS = (".png", ".svg", ".pdf")
INSTALL_HINT = 'pip install "korvel[plot]"'

_FIT_KEYS = ("fitted_bond_dims", "fitted_D", "fit_bond_dims", "fitted_points")


def require_matplotlib():
    """The matplotlib module, or an ImportError that says how to install it."""
    try:
        import matplotlib
        from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: F401
    except ImportError as exc:
        raise ImportError(f"plots need matplotlib, which is not installed "
                          f"({exc}); install it with {INSTALL_HINT}") from exc
    return matplotlib


def check_plot_path(path) -> str:
    """The file type (".png", ".svg" or ".pdf") that ``path`` asks for."""
    ext = os.path.splitext(os.fspath(path))[1].lower()
    if ext not in PLOT_FORMATS:
        raise ValueError(f"{os.fspath(path)}: a plot is written as "
                         f"{', '.join(PLOT_FORMATS)} (chosen by the extension)")
    return ext


def _finite(x) -> bool:
    return isinstance(x, (int, float)) and not isinstance(x, bool) and math.isfinite(x)


def fitted_mask(info: dict) -> list[bool]:
    """Which of ``info["points"]`` the straight-line fit used: as the info says
    (a list of bond dimensions under one of the keys ``fitted_bond_dims``,
    ``fitted_D``, ``fit_bond_dims``, ``fitted_points``, or a ``fitted`` flag on each
    point), otherwise every point with a finite energy and a finite, positive
    discarded weight when there are at least two such points."""
    points = info["points"]
    for key in _FIT_KEYS:
        dims = info.get(key)
        if isinstance(dims, (list, tuple)):
            wanted = {d if not isinstance(d, dict) else d.get("D") for d in dims}
            return [p.get("D") in wanted for p in points]
    if points and all("fitted" in p for p in points):
        return [bool(p["fitted"]) for p in points]
    usable = [_finite(p["energy"]) and _finite(p["discarded_weight"])
              and p["discarded_weight"] > 0 for p in points]
    return usable if sum(usable) >= 2 else [False] * len(points)


def _new_figure(n_panels: int):
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(5.2 * n_panels, 4.2), layout="constrained")
    FigureCanvasAgg(fig)
    axes = [fig.add_subplot(1, n_panels, k + 1) for k in range(n_panels)]
    return fig, axes


def _plain_energy_axis(ax) -> None:
    from matplotlib.ticker import FormatStrFormatter

    ax.yaxis.set_major_formatter(FormatStrFormatter("%.4f"))
    ax.set_ylabel("energy (Eh)")
    ax.grid(True, alpha=0.3)


def draw_dmrg(ax, info: dict, exact: float | None = None) -> None:
    """DMRG energies against discarded weight on ``ax``: the fitted points (filled),
    the others (open), the fitted line E = E0 + slope * dw drawn from the info's
    ``extrapolated_energy`` and ``slope``, its 95 % band, the extrapolated energy at
    dw = 0 (all three unless the info says ``extrapolated`` False), a converged run
    marked apart, and the exact energy when known."""
    import numpy as np

    points = info["points"]
    fitted = fitted_mask(info)
    shown = [(p, f) for p, f in zip(points, fitted)
             if _finite(p["energy"]) and _finite(p["discarded_weight"])
             and p["discarded_weight"] >= 0]
    e0, slope = info.get("extrapolated_energy"), info.get("slope")
    ci = info.get("ci95_halfwidth") or 0.0
    # a run told not to extrapolate (info["extrapolated"] False) shows its points only
    show_fit = (sum(f for _, f in shown) >= 2 and _finite(e0) and _finite(slope)
                and info.get("extrapolated", True) is not False)
    # a converged run (the info's ``converged``: a discarded weight below 1e-12, its D
    # under ``converged_bond_dim``) is the reported energy itself; it is marked apart
    # rather than drawn as one more point
    converged = None
    if not show_fit and info.get("converged") is True:
        if "converged_bond_dim" in info:
            chosen = [p for p, _ in shown if p.get("D") == info["converged_bond_dim"]]
        else:
            chosen = [p for p, f in shown if f]
        converged = chosen[0] if len(chosen) == 1 else None
    if not show_fit:
        shown = [(p, False) for p, _ in shown]
    fx = [p["discarded_weight"] for p, f in shown if f]
    fy = [p["energy"] for p, f in shown if f]
    ox = [p["discarded_weight"] for p, f in shown if not f]
    oy = [p["energy"] for p, f in shown if not f]
    if fx:
        ax.plot(fx, fy, "o", color="C0", label="DMRG, fitted", zorder=3)
    if ox:
        ax.plot(ox, oy, "o", mfc="none" if show_fit else None, color="C0",
                label="DMRG, not fitted" if show_fit else "DMRG", zorder=3)
    if converged is not None:
        ax.plot([converged["discarded_weight"]], [converged["energy"]], "*", ms=11, color="C3",
                zorder=4, label=f"converged (D={converged['D']}) {converged['energy']:.6f} Eh")
    missing = len(points) - len(shown)
    if missing:
        ax.text(0.98, 0.02, f"{missing} point(s) without a discarded weight not shown",
                transform=ax.transAxes, ha="right", va="bottom", fontsize=7)

    if show_fit:
        xmax = 1.08 * max(fx + ox)
        xs = np.linspace(0.0, xmax, 100)
        ax.plot(xs, e0 + slope * xs, "-", color="C1", label="linear fit", zorder=2)
        band = _band(np.asarray(fx, float), xs, ci)
        if band is not None:
            ax.fill_between(xs, e0 + slope * xs - band, e0 + slope * xs + band,
                            color="C1", alpha=0.2, lw=0, label="95 % band")
        ax.errorbar([0.0], [e0], yerr=[ci] if _finite(ci) and ci > 0 else None,
                    fmt="*", ms=11, color="C3", capsize=4, zorder=4,
                    label=f"extrapolated {e0:.6f} Eh")
    if exact is not None and _finite(exact):
        ax.axhline(exact, ls="--", color="k", lw=1, label=f"exact {exact:.6f} Eh")
    ax.set_xlabel("discarded weight")
    ax.set_title("DMRG energy against discarded weight")
    ax.ticklabel_format(axis="x", style="sci", scilimits=(-2, 2))
    right = max([p["discarded_weight"] for p, _ in shown] + [0.0])
    ax.set_xlim(-0.05 * right if right > 0 else None)
    _plain_energy_axis(ax)
    _label_bond_dims(ax, [p for p, _ in shown])
    ax.legend(fontsize=8, loc="upper left")


def _label_bond_dims(ax, points) -> None:
    """A "D=..." label beside each point, on the side that faces the middle of the
    axes, so that no label runs over the edge (the run of the smallest D has the
    largest discarded weight and the highest energy: the upper right corner)."""
    ax.autoscale_view()
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    ax.set_xlim(x0, x1)                 # the labels must not move the limits
    ax.set_ylim(y0, y1)
    for p in points:
        x, y = p["discarded_weight"], p["energy"]
        right = x > 0.5 * (x0 + x1)
        top = y > 0.5 * (y0 + y1)
        ax.annotate(f"D={p['D']}", (x, y), textcoords="offset points",
                    xytext=(-5 if right else 5, -4 if top else 4),
                    ha="right" if right else "left", va="top" if top else "bottom",
                    fontsize=8)


def _band(x, xs, ci):
    """Half-width of the 95 % confidence band of a straight-line fit through the
    abscissae ``x``, scaled so that it equals ``ci`` at dw = 0: the band of an
    ordinary least-squares line is proportional to sqrt(v(x)), v(x) = [x 1] (X^T X)^-1
    [x 1]^T. None when the fit leaves no band (ci not positive, fewer than two
    distinct abscissae)."""
    import numpy as np

    if not (_finite(ci) and ci > 0) or len(set(x.tolist())) < 2:
        return None
    design = np.stack([x, np.ones_like(x)], axis=1)
    inv = np.linalg.inv(design.T @ design)
    v = inv[0, 0] * xs ** 2 + 2 * inv[0, 1] * xs + inv[1, 1]
    return ci * np.sqrt(v / inv[1, 1])


def draw_ladder(ax, levels, active_space=None) -> None:
    """The energy ladder on ``ax``: one level per (label, energy) pair, in the order
    given; levels whose energy is None are left out. Each level carries its energy,
    and its distance from the last level when that one is the exact energy.
    ``active_space`` (electrons, orbitals) is named in the title, as "(4e, 4o)"."""
    levels = [(name, float(e)) for name, e in levels if e is not None and _finite(e)]
    exact = levels[-1][1] if levels and levels[-1][0].startswith("exact") else None
    for k, (name, e) in enumerate(levels):
        ax.hlines(e, k - 0.3, k + 0.3, colors=f"C{k}", lw=3)
        text = f"{e:.6f}"
        if exact is not None and k < len(levels) - 1:
            gap = 1000 * (e - exact)
            text += f"\n{gap if abs(gap) >= 0.005 else 0.0:+.2f} mEh"
        ax.annotate(text, (k, e), textcoords="offset points", xytext=(0, 5),
                    ha="center", va="bottom", fontsize=8)
    ax.set_xticks(range(len(levels)), [name for name, _ in levels], fontsize=8)
    ax.set_xlim(-0.6, len(levels) - 0.4)
    if levels:
        lo, hi = min(e for _, e in levels), max(e for _, e in levels)
        pad = 0.15 * (hi - lo) if hi > lo else 1e-3
        ax.set_ylim(lo - pad, hi + 2 * pad)
    title = "energy ladder"
    if active_space is not None:
        n_elec, n_orb = active_space
        title += f", active space ({n_elec}e, {n_orb}o)"
    ax.set_title(title)
    _plain_energy_axis(ax)


def draw_rotations(ax, energies, marks) -> None:
    """The reference energy after each rotation (rotation 0: the mean field) on ``ax``,
    with a dashed line at each (label, energy) of ``marks`` that is not None."""
    ax.plot(range(len(energies)), energies, "o-", ms=3, color="C0",
            label="reference energy")
    for k, (name, e) in enumerate(m for m in marks if m[1] is not None and _finite(m[1])):
        ax.axhline(e, ls="--", lw=1, color=f"C{k + 1}", label=f"{name} {e:.6f}")
    ax.set_xlabel("rotations")
    ax.set_ylabel("energy / Eh")
    ax.set_title("exact rotations")
    ax.legend(fontsize=7)
    _plain_energy_axis(ax)


def results_figure(*, dmrg: dict | None = None, exact: float | None = None,
                   levels=None, title: str | None = None, active_space=None,
                   rotations=None):
    """A Figure with the DMRG panel (when ``dmrg`` info is given), the ladder panel
    (when ``levels`` is given, its title naming ``active_space``, a pair (electrons,
    orbitals)) and the rotation panel (when ``rotations`` = (energies, marks) is
    given), side by side."""
    given = {"dmrg": dmrg, "ladder": levels, "rotations": rotations}
    panels = [p for p in ("dmrg", "ladder", "rotations") if given[p]]
    if not panels:
        raise ValueError("nothing to plot: no DMRG points and no energy ladder")
    fig, axes = _new_figure(len(panels))
    for name, ax in zip(panels, axes):
        if name == "dmrg":
            draw_dmrg(ax, dmrg, exact)
        elif name == "ladder":
            draw_ladder(ax, levels, active_space)
        else:
            draw_rotations(ax, *rotations)
    if title:
        fig.suptitle(title, fontsize=10)
    return fig


def save_figure(fig, path) -> None:
    """Write ``fig`` to ``path`` in the format its extension names, through a
    temporary file beside it."""
    from korvel.io import atomic_write

    fmt = check_plot_path(path)[1:]
    atomic_write(path, lambda fh: fig.savefig(fh, format=fmt, dpi=100), binary=True)


def scan_figure(points, *, coordinate: str, method: str | None = None,
                title: str | None = None):
    """The potential-energy curves of a scan (``points`` as the report's
    ``scan.points``): SCF, CCSD, CASCI, the method's energy and the exact energy
    against the coordinate in the upper panel; the method and CASCI minus exact, in
    mEh, in the lower one. Points that did not converge are drawn hollow and marked
    in the legend; missing values leave gaps."""
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(6.4, 6.4), layout="constrained")
    FigureCanvasAgg(fig)
    top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=(3, 2))
    xs = [p["value"] for p in points]

    def series(key):
        return [p.get(key) if _finite(p.get(key)) else math.nan for p in points]

    curves = [("reference_energy", "SCF / reference", "0.45", "o"),
              ("ccsd_energy", "CCSD", "tab:green", "s"),
              ("casci_energy", "CASCI", "tab:purple", "^"),
              ("method_energy", f"downfolded ({method})" if method else None, "tab:blue", "D"),
              ("exact_energy", "exact", "black", None)]
    for key, label, color, marker in curves:
        ys = series(key)
        if label is None or all(math.isnan(y) for y in ys):
            continue
        top.plot(xs, ys, color=color, marker=marker, ms=4, lw=1.2 if marker else 2.0,
                 ls="-" if marker else "--", label=label)
    bad = [p for p in points if not p.get("converged", True) or p.get("error")]
    if bad:
        # at the point's energy, or at its reference energy when the method failed
        top.plot([p["value"] for p in bad],
                 [p["energy"] if _finite(p.get("energy")) else
                  p.get("reference_energy") if _finite(p.get("reference_energy")) else math.nan
                  for p in bad],
                 ls="none", marker="o", ms=10, mfc="none", mec="red",
                 label="not converged or failed")
    top.set_ylabel("energy (Eh)")
    top.grid(True, alpha=0.3)
    top.legend(fontsize=8)
    top.set_title(f"scan {coordinate}")

    exact = series("exact_energy")
    drawn = False
    for key, label, color in (("method_energy", f"{method} - exact", "tab:blue"),
                              ("casci_energy", "CASCI - exact", "tab:purple"),
                              ("ccsd_energy", "CCSD - exact", "tab:green")):
        ys = [1e3 * (y - e) for y, e in zip(series(key), exact)]
        if key == "method_energy" and not method:
            continue
        if all(math.isnan(y) for y in ys):
            continue
        bottom.plot(xs, ys, color=color, marker="o", ms=3, label=label)
        drawn = True
    bottom.axhline(0.0, color="black", lw=0.8)
    bottom.set_ylabel("error vs exact (mEh)")
    bottom.set_xlabel("bond length (Angstrom)")
    bottom.grid(True, alpha=0.3)
    if drawn:
        bottom.legend(fontsize=8)
    else:
        bottom.text(0.5, 0.5, "no exact energy (above fci_max_dim)", ha="center",
                    va="center", transform=bottom.transAxes, fontsize=9)
    if title:
        fig.suptitle(title, fontsize=10)
    return fig
