"""brivane.fit_map on xarray and Dask maps: lazy where the input is, every pixel the same bits as
fit_many's, on the threaded scheduler and on a dask.distributed cluster of two worker processes."""
import numpy as np
import pytest

import brivane
from layer_support import needs_engine

da = pytest.importorskip("dask.array")
xr = pytest.importorskip("xarray")

pytestmark = needs_engine

X = np.linspace(480.0, 580.0, 201)


def raman_map(rows, columns, seed=1):
    """A map of one Lorentzian line whose centre follows a smooth shift field, on a flat background."""
    rng = np.random.default_rng(seed)
    r, c = np.meshgrid(np.arange(rows), np.arange(columns), indexing="ij")
    shift = 1.5 * np.sin(r / 3.0) * np.cos(c / 4.0)
    width = np.gradient(X)
    u = X - (520.0 + shift[..., None])
    line = 3e4 * (4.0 / np.pi) / (u * u + 16.0) * width
    return rng.poisson(line + 20.0).astype(float), 520.0 + shift


MODEL = brivane.Model([brivane.Lorentzian(521.0, 8.5, area=2.7e4)], background=brivane.Constant(level=22.0))


def dataset_matches(ds, batch, fields=("p0.center", "p0.fwhm", "p0.area", "bg.level")):
    for name in fields:
        assert ds[name].values.tobytes() == batch.values[name].tobytes(), name
        assert ds[f"{name}_stderr"].values.tobytes() == batch.stderr[name].tobytes(), name
    assert ds["deviance"].values.tobytes() == batch.deviance.tobytes()
    assert np.array_equal(ds["converged"].values, batch.converged)
    assert np.array_equal(ds["n_iterations"].values, batch.n_iterations)
    assert np.array_equal(ds["status"].values, batch.status)


def test_xarray_map_chunked_lazily_matches_fit_many_bit_for_bit():
    counts, truth = raman_map(6, 5)
    batch = brivane.fit_many(X, counts, MODEL)
    data = xr.DataArray(counts, dims=("y", "x", "shift"),
                        coords={"y": np.arange(6) * 0.5, "x": np.arange(5) * 0.5, "shift": X})
    # The channel axis split in two: fit_map joins it.
    lazy = data.chunk({"y": 2, "x": 3, "shift": 100})
    ds = brivane.fit_map(lazy, MODEL, dim="shift")
    assert isinstance(ds["p0.center"].data, da.Array)        # nothing fitted yet
    assert set(ds.dims) == {"y", "x"} and np.array_equal(ds["y"].values, data["y"].values)
    ds = ds.compute(scheduler="threads")
    dataset_matches(ds, batch)
    assert ds["converged"].dtype == bool and ds["converged"].values.all()
    pulls = (ds["p0.center"] - truth) / ds["p0.center_stderr"]
    assert float(np.abs(pulls).max()) < 5.0
    # The channel dimension need not be last; an in-memory DataArray is fitted at once.
    eager = brivane.fit_map(data.transpose("shift", "y", "x"), MODEL, dim="shift")
    assert isinstance(eager["p0.center"].data, np.ndarray)
    dataset_matches(eager, batch)


def test_dask_array_with_the_grid_and_derived_quantities():
    counts, _ = raman_map(4, 3, seed=2)
    batch = brivane.fit_many(X, counts, MODEL)
    ds = brivane.fit_map(da.from_array(counts, chunks=(2, 2, -1)), MODEL, x=X, derived=True).compute()
    assert ds["p0.center"].dims == ("dim_0", "dim_1")
    dataset_matches(ds, batch, fields=("p0.center", "p0.fwhm", "p0.height"))
    # Two maps of one array with different models in one graph keep apart.
    import dask

    other = brivane.Model([brivane.Gaussian(521.0, 3.5, area=2.7e4)], background=brivane.Constant(level=22.0))
    lazy = da.from_array(counts, chunks=(2, 2, -1))
    first, second = dask.compute(brivane.fit_map(lazy, MODEL, x=X), brivane.fit_map(lazy, other, x=X))
    dataset_matches(first, batch, fields=("p0.center", "p0.fwhm"))
    dataset_matches(second, brivane.fit_many(X, counts, other), fields=("p0.center", "p0.sigma"))
    # Neighbour starts run within each chunk, as fit_many runs them on that chunk.
    chained = brivane.fit_map(lazy, MODEL, x=X, starts="neighbour").compute()
    block = brivane.fit_many(X, counts[2:4, 0:2], MODEL, starts="neighbour")
    assert chained["p0.center"].values[2:4, 0:2].tobytes() == block.values["p0.center"].tobytes()
    with pytest.raises(TypeError, match="starts"):
        brivane.fit_map(lazy, MODEL, x=X, starts=np.zeros((4, 3, 5)))
    with pytest.raises(TypeError, match="x"):
        brivane.fit_map(da.from_array(counts), MODEL)
    with pytest.raises(TypeError, match="dim"):
        brivane.fit_map(xr.DataArray(counts), MODEL)
    with pytest.raises(ValueError, match="dim"):
        brivane.fit_map(xr.DataArray(counts), MODEL, dim="energy")


# Under the sanitizer runtimes (preloaded into every process the run starts) the cluster's worker
# interpreters take minutes to start; the threaded tests above cover the same code there.
@pytest.mark.skipif("asan" in __import__("os").environ.get("LD_PRELOAD", ""),
                    reason="worker processes under the sanitizer runtimes start too slowly")
def test_a_distributed_cluster_of_two_processes_gives_the_same_bits():
    distributed = pytest.importorskip("distributed")
    counts, _ = raman_map(8, 6, seed=3)
    batch = brivane.fit_many(X, counts, MODEL)
    data = xr.DataArray(counts, dims=("y", "x", "shift"), coords={"shift": X}).chunk({"y": 2, "x": 3})
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, worker_dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        ds = brivane.fit_map(data, MODEL, dim="shift").compute()
        workers = client.run(lambda: __import__("os").getpid())
    assert len(set(workers.values())) == 2
    dataset_matches(ds, batch)


def test_the_map_example_recovers_the_shift_field_and_writes_its_maps(tmp_path, capsys):
    import os
    import runpy

    example = runpy.run_path(os.path.join(os.path.dirname(__file__), "..", "..", "examples", "fit_map.py"))
    fitted = example["main"](["--size", "10", "--out", str(tmp_path)])
    out = capsys.readouterr().out
    assert "100 spectra fitted" in out and "100.0% converged" in out
    x, single = example["reference_line"]()
    assert abs(single.values["p0.center"] - 521.3) < 0.3       # the silicon line
    _, truth = example["simulate"](x, single, 10)
    pulls = (fitted["p0.center"].values - truth) / fitted["p0.center_stderr"].values
    assert np.abs(pulls).max() < 5.0 and abs(pulls.mean()) < 0.6
    if "matplotlib is not installed" not in out:
        assert sorted(os.listdir(tmp_path)) == ["map_area.png", "map_center.png", "map_fwhm.png"]
