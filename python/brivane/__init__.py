"""brivane: peak fitting of one-dimensional spectra by Poisson maximum likelihood.

Build a ``Model`` of the whole spectrum from peak terms (``Gaussian``, ``Lorentzian``,
``PseudoVoigt``, ``Voigt``, ``DoniachSunjic``, ``TSDC``) and background terms (``Constant``,
``Linear``, ``Polynomial``, ``Exponential``, ``Shirley``, ``Tougaard``, ``UserRows``), tie
parameters where physics says so, and call ``fit(x, counts, model)``: every free parameter is
fitted at once, as the maximum likelihood of the counts as independent Poisson variables, by the
compiled engine. The ``FitResult`` has values and standard errors by name, goodness of fit, the
model's counts per channel, a text report, a plot and a JSON form.

Units: x as in your data; peak areas in counts; backgrounds in counts per channel.

    >>> import brivane
    >>> model = brivane.Model([brivane.Gaussian(1173.7), brivane.Gaussian(1332.9)],
    ...                       background=brivane.Constant())
    >>> result = brivane.fit(energy, counts, model, window=(1150, 1350))   # doctest: +SKIP
    >>> print(result.report())                                             # doctest: +SKIP

Many spectra (a map, a detector's frames): ``fit_many(x, counts, model)`` fits every spectrum of
``counts`` (shape ``(..., n_channels)``) in one call on every core; ``fit_map`` does the same for
an xarray or Dask map, chunk by chunk, on one machine or a Dask cluster.

The raw compiled functions stay available as the separate module ``brivane_core``.
"""
from ._threads import get_threads, set_threads
from ._version import __version__
from .batch import BatchResult, fit_many
from .fitting import fit
from .maps import fit_map
from .model import Model
from .result import FitResult
from .terms import (TSDC, Constant, DoniachSunjic, Exponential, Gaussian, Linear, Lorentzian,
                    Polynomial, PseudoVoigt, Shirley, Tougaard, UserRows, Voigt)

__all__ = [
    "__version__", "fit", "FitResult", "Model", "fit_many", "BatchResult", "fit_map",
    "Gaussian", "Lorentzian", "PseudoVoigt", "Voigt", "DoniachSunjic", "TSDC",
    "Constant", "Linear", "Polynomial", "Exponential", "Shirley", "Tougaard", "UserRows",
    "set_threads", "get_threads",
]
