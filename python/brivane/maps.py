"""``brivane.fit_map``: a map of spectra held by xarray or Dask, fitted chunk by chunk through
``fit_many``, on Dask's threaded scheduler or on a ``dask.distributed`` cluster.

dask and xarray are optional (``pip install brivane[map]``) and imported only here.
"""
from __future__ import annotations

import pickle
from typing import List, Optional

import numpy as np

from .batch import fit_many
from .model import Model
from .result import FitResult
from .terms import Peak

__all__ = ["fit_map"]


def _fields(model: Model, derived: bool) -> List[str]:
    """The result's variables, in the order of the last axis of each chunk's output."""
    names = list(model.parameter_names)
    if derived:
        for name, term in zip(model.names, model.terms):
            for label in ("fwhm", "height"):
                full = f"{name}.{label}"
                if isinstance(term, Peak) and label not in term.parameters and full not in names:
                    names.append(full)
    fields = []
    for name in names:
        fields += [name, f"{name}_stderr"]
    return fields + ["deviance", "converged", "n_iterations", "status"]


def _fit_block(block: np.ndarray, x, model: Model, fields: List[str], options: dict) -> np.ndarray:
    """One chunk of pixels (..., n_channels) -> (..., len(fields)) float64."""
    result = fit_many(x, block, model, **options)
    out = np.empty(block.shape[:-1] + (len(fields),))
    need_derived = any(f.endswith((".fwhm", ".height")) for f in fields)
    values = result.values if need_derived else result.parameters()
    errors = result.stderr if need_derived else result._stderr
    for k, field in enumerate(fields):
        if field.endswith("_stderr"):
            out[..., k] = errors[field[:-len("_stderr")]]
        elif field == "converged":
            out[..., k] = result.converged
        elif field in ("deviance", "n_iterations", "status"):
            out[..., k] = getattr(result, field)
        else:
            out[..., k] = values[field]
    return out


def fit_map(data, model: Model, x=None, dim: Optional[str] = None, *, starts=None, window=None,
            errors: str = "scaled", max_iter: Optional[int] = None, tolerance: Optional[float] = None,
            derived: bool = False, threads: Optional[int] = 1):
    """Fit ``model`` to every spectrum of a map and return an ``xarray.Dataset``.

    data: an ``xarray.DataArray`` whose channel dimension is ``dim`` (its coordinate is the grid,
    unless ``x`` is given), or a ``dask.array`` / NumPy array with the channels on the last axis
    and the grid given as ``x``. Chunks of pixels go to ``brivane.fit_many`` through
    ``dask.array.map_blocks``, with the channel axis in one chunk (rechunked if needed); each
    chunk is one call into the compiled engine. The result is lazy where the input is (call
    ``.compute()``, or ``.load()``, on Dask's threaded scheduler or with a ``dask.distributed``
    client active), and holds over the pixel dimensions: one variable per parameter named as in
    ``FitResult`` (``"p0.center"``), its standard error (``"p0.center_stderr"``), ``deviance``,
    ``converged`` (bool), ``n_iterations`` and ``status`` (``BatchResult.MESSAGES`` gives its
    text). derived=True adds each peak's ``fwhm`` and ``height`` with their errors (computed
    spectrum by spectrum: slower).

    starts, window, errors, max_iter, tolerance: as for ``fit_many`` (per-spectrum starts as an
    array or dict of arrays are not taken here; "neighbour" works within each chunk). threads:
    brivane's threads per chunk, 1 by default: Dask's workers already run one chunk per thread,
    so the cores are used without oversubscribing them (None: brivane's whole pool per chunk, for
    a Dask worker with a single thread).
    Each pixel's result is ``fit_many``'s (and ``brivane.fit``'s) for it, to the bit.
    """
    import dask.array as da
    import xarray as xr
    from dask.base import tokenize

    if not isinstance(model, Model):
        raise TypeError(f"model must be a brivane.Model, not {type(model).__name__}")
    if starts is not None and not isinstance(starts, (str, dict, FitResult)):
        raise TypeError("starts: fit_map takes None, 'neighbour', a dict of values or a FitResult")
    if isinstance(starts, dict) and not all(np.isscalar(v) for v in starts.values()):
        raise TypeError("starts: fit_map takes one start for all pixels (a dict of numbers)")
    dims: List[str]
    coords = {}
    attrs = {}
    if isinstance(data, xr.DataArray):
        if dim is None:
            raise TypeError("dim: name the channel dimension of the DataArray")
        if dim not in data.dims:
            raise ValueError(f"dim: {dim!r} is not a dimension of the data, which has {data.dims}")
        if x is None:
            if dim not in data.coords:
                raise ValueError(f"x: the DataArray has no coordinate {dim!r}; give the grid as x")
            x = np.asarray(data.coords[dim].values, float)
        data = data.transpose(..., dim)
        dims = [d for d in data.dims if d != dim]
        coords = {name: coord for name, coord in data.coords.items() if dim not in coord.dims}
        attrs = dict(data.attrs)
        array = data.data
    else:
        if x is None:
            raise TypeError("x: give the channel grid for a dask or NumPy array (channels on the last axis)")
        array = data
        if not isinstance(array, da.Array):
            array = np.asarray(array)
        dims = [f"dim_{i}" for i in range(array.ndim - 1)]
    if array.ndim < 1:
        raise ValueError("data must have a channel axis")
    fields = _fields(model, derived)
    options = dict(starts=starts, window=window, errors=errors, max_iter=max_iter, tolerance=tolerance,
                   threads=threads)
    if isinstance(array, da.Array):
        if len(array.chunks[-1]) > 1:
            array = array.rechunk({array.ndim - 1: -1})
        grid = np.asarray(x, float)
        # The output's keys name everything the fit depends on (the model through its pickled
        # form), so two fits of one array with different models never share a key.
        name = "brivane-fit-map-" + tokenize(array.name, grid, pickle.dumps(model), fields, repr(options))
        out = da.map_blocks(_fit_block, array, x=grid, model=model, fields=fields, options=options,
                            dtype=np.float64, chunks=array.chunks[:-1] + ((len(fields),),), name=name)
    else:
        out = _fit_block(np.asarray(array), np.asarray(x, float), model, fields, options)
    variables = {}
    for k, field in enumerate(fields):
        column = out[..., k]
        if field == "converged":
            column = column > 0.5
        elif field in ("n_iterations", "status"):
            column = column.astype(np.int64)
        variables[field] = (dims, column)
    dataset = xr.Dataset(variables, coords=coords, attrs=attrs)
    dataset.attrs["brivane_model"] = repr(model)
    dataset.attrs["brivane_errors"] = errors
    return dataset
