"""Fits a simulated Raman map of strained silicon with brivane.fit_map and draws the maps.

The line shape comes from a measured spectrum: the silicon spectrum bundled in examples/data is
fitted once (a pseudo-Voigt line on a linear background, 450-600 cm^-1). A SIZE x SIZE map is
then drawn on that spectrum's own channels: the same line, its centre moved by a strain-like
shift field (a tensile spot and a compressive band, up to about 3 cm^-1, on a slight gradient),
its area varying with a smooth thickness field, Poisson counts in every channel. The map goes to
fit_map as a chunked xarray.DataArray; the fitted centre, width (FWHM) and area, with their
standard errors, are written as PNG maps.

    python examples/fit_map.py [--size 200] [--out DIR] [--scheduler ADDRESS]

--scheduler tcp://host:8786 runs the fit on a Dask cluster (dask.distributed.Client(ADDRESS));
without it, Dask's threaded scheduler runs it on this machine. Needs dask and xarray
(pip install brivane[map]); the PNGs need matplotlib.
"""
import argparse
import os
import time

import numpy as np

import brivane

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data", "raman_Si_spectrum01.csv")
WINDOW = (450.0, 600.0)
STEP_UM = 0.5   # pixel pitch of the map, micrometres


def reference_line():
    """The bundled silicon spectrum's main line, fitted once: (grid, FitResult)."""
    shift, counts = np.loadtxt(DATA, delimiter=",", skiprows=1, unpack=True)
    model = brivane.Model([brivane.PseudoVoigt(520.0, 5.0, 0.5)], background=brivane.Linear())
    result = brivane.fit(shift, counts, model, window=WINDOW)
    inside = (shift >= WINDOW[0]) & (shift <= WINDOW[1])
    return shift[inside], result


def strain_shift(size):
    """A tensile spot (line down by 3 cm^-1), a compressive band (up by 1.5) and a gradient."""
    r, c = np.meshgrid(np.linspace(-1.0, 1.0, size), np.linspace(-1.0, 1.0, size), indexing="ij")
    spot = -3.0 * np.exp(-((r - 0.25) ** 2 + (c + 0.3) ** 2) / 0.08)
    band = 1.5 * np.exp(-((r + c + 0.6) ** 2) / 0.02)
    return spot + band + 0.4 * c


def simulate(x, single, size, seed=2026):
    """Counts (size, size, channels) and the true centre shift field."""
    v = single.values
    centre, fwhm, eta, area = v["p0.center"], v["p0.fwhm"], v["p0.eta"], v["p0.area"]
    level, slope = v["bg.level"], v["bg.slope"]
    width = np.gradient(x)
    shift = strain_shift(size)
    r, c = np.meshgrid(np.linspace(0.0, 1.0, size), np.linspace(0.0, 1.0, size), indexing="ij")
    thickness = 0.8 + 0.4 * np.sin(2.0 * np.pi * r) * np.cos(np.pi * c) ** 2
    rng = np.random.default_rng(seed)
    counts = np.empty((size, size, x.size))
    sigma = fwhm / (2.0 * np.sqrt(2.0 * np.log(2.0)))
    half = 0.5 * fwhm
    for row in range(size):
        u = x - (centre + shift[row])[:, None]
        density = eta * np.exp(-0.5 * (u / sigma) ** 2) / (sigma * np.sqrt(2.0 * np.pi)) + \
            (1.0 - eta) * half / (np.pi * (u * u + half * half))
        mu = area * thickness[row][:, None] * density * width + level + slope * (x - x[0])
        counts[row] = rng.poisson(np.maximum(mu, 0.0))
    return counts, centre + shift


def write_maps(fitted, out_dir):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no PNG maps")
        return []
    os.makedirs(out_dir, exist_ok=True)
    written = []
    for name, label in (("p0.center", "centre (cm$^{-1}$)"), ("p0.fwhm", "FWHM (cm$^{-1}$)"),
                        ("p0.area", "area (counts)")):
        figure, axes = plt.subplots(1, 2, figsize=(9.0, 3.8), constrained_layout=True)
        for axis, variable, title in ((axes[0], name, label), (axes[1], f"{name}_stderr", f"standard error of the {label}")):
            image = axis.imshow(fitted[variable].values, origin="lower", cmap="viridis",
                                extent=[0, fitted.sizes["x"] * STEP_UM, 0, fitted.sizes["y"] * STEP_UM])
            axis.set_title(title, fontsize=10)
            axis.set_xlabel("x (µm)")
            axis.set_ylabel("y (µm)")
            figure.colorbar(image, ax=axis, shrink=0.85)
        path = os.path.join(out_dir, f"map_{name.split('.')[1]}.png")
        figure.savefig(path, dpi=90)
        plt.close(figure)
        written.append(path)
    return written


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=200, help="pixels per side (default 200: 40,000 spectra)")
    parser.add_argument("--out", default="fit_map_png", help="directory of the PNG maps")
    parser.add_argument("--scheduler", default=None, help="address of a Dask scheduler (tcp://host:8786)")
    args = parser.parse_args(argv)
    import xarray as xr

    x, single = reference_line()
    print(f"reference line of {os.path.basename(DATA)}: centre {single.values['p0.center']:.2f} cm^-1, "
          f"FWHM {single.values['p0.fwhm']:.2f}, eta {single.values['p0.eta']:.2f}, {x.size} channels in "
          f"{WINDOW[0]:g}-{WINDOW[1]:g}")
    counts, true_centre = simulate(x, single, args.size)
    coords = {"y": np.arange(args.size) * STEP_UM, "x": np.arange(args.size) * STEP_UM, "shift": x}
    data = xr.DataArray(counts, dims=("y", "x", "shift"), coords=coords, name="counts")
    chunk = max(1, min(args.size, 50))
    lazy = data.chunk({"y": chunk, "x": chunk, "shift": -1})

    # The map's model starts from the reference line; every pixel is fitted from it.
    v = single.values
    model = brivane.Model([brivane.PseudoVoigt(v["p0.center"], v["p0.fwhm"], v["p0.eta"], area=v["p0.area"])],
                          background=brivane.Linear(v["bg.level"], v["bg.slope"]))
    client = None
    if args.scheduler:
        from dask.distributed import Client
        client = Client(args.scheduler)
        print(f"fitting on the Dask cluster at {args.scheduler}")
    try:
        begin = time.perf_counter()
        fitted = brivane.fit_map(lazy, model, dim="shift").compute()
        elapsed = time.perf_counter() - begin
    finally:
        if client is not None:
            client.close()
    spectra = args.size * args.size
    error = fitted["p0.center"].values - true_centre
    print(f"{spectra} spectra fitted in {elapsed:.2f} s ({spectra / elapsed:.0f} spectra/s), "
          f"{fitted['converged'].values.mean():.1%} converged")
    print(f"centre: rms error {np.sqrt(np.mean(error ** 2)):.4f} cm^-1, median standard error "
          f"{np.median(fitted['p0.center_stderr'].values):.4f} cm^-1, shift field "
          f"{true_centre.min() - v['p0.center']:+.2f} to {true_centre.max() - v['p0.center']:+.2f} cm^-1")
    for path in write_maps(fitted, args.out):
        print(f"wrote {path}")
    return fitted


if __name__ == "__main__":
    main()
