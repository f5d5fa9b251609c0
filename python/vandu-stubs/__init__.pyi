"""Randomised-split regression trees, gradient boosting and deep gradient boosting over NumPy float64 arrays.

Every split draws one threshold per feature uniformly between the feature's smallest and largest value and
keeps the feature whose two-way partition leaves the least squared deviation. Fits are randomised and cannot
be seeded; a fitted model predicts fixed bits, also after saving and loading.

Arrays: ``x`` is a two-dimensional float64 ``numpy.ndarray`` (one row per sample, one column per feature),
``y`` a one-dimensional float64 ``numpy.ndarray`` with one target per row of ``x``. Anything else raises
``TypeError`` (convert with ``numpy.asarray(x, dtype=numpy.float64)``; ``vandu_sklearn`` does it for you).

Failures of a fit, a prediction or a load raise ``pyo3_runtime.PanicException`` with the reason as its message.
It derives from ``BaseException``, not ``Exception``: ``except Exception`` does not catch it (the estimators of
``vandu_sklearn`` turn it into an ordinary exception). The instance stays usable.

File formats, for ``save`` and ``load``: ``"json"`` (compact JSON text) and ``"bincode"`` (a compact
little-endian binary image of the same fields). A file holds one model's whole state, parameters included,
and nothing else: the class that loads it and the format say what it is.
"""

from typing import Literal, SupportsFloat, SupportsIndex, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["__doc__", "DecisionRule", "DecisionTree", "GradientBoosting", "DeepGradientBoosting"]

_Format = Literal["json", "bincode"]

@final
class DecisionRule:
    """A single randomised split: each side predicts the mean target of its training samples.

    Accepts and ignores any constructor arguments. Has no file format, so no ``save`` or ``load``.
    """

    def __new__(cls, *args: object, **kwargs: object) -> DecisionRule: ...
    def fit(self, x: NDArray[np.float64], y: NDArray[np.float64]) -> None:
        """Draws the split from ``x`` (samples x features) and ``y``; returns None.

        A fit that finds no split (every feature constant) keeps the previous split.

        Raises ``TypeError`` for arrays that are not float64 with two and one dimensions, and
        ``PanicException`` when ``x`` and ``y`` have different numbers of samples.
        """
    def predict(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        """The left or right mean for every row of ``x``: a new read-only float64 array.

        Raises ``PanicException`` before a successful fit or when ``x`` lacks the split's feature.
        """

class _SavedModel:
    def fit(self, x: NDArray[np.float64], y: NDArray[np.float64]) -> None:
        """Fits the model to ``x`` (samples x features) and ``y`` (one target per row), from scratch; returns None.

        Raises ``TypeError`` for arrays that are not float64 with two and one dimensions; ``PanicException``
        for different sample counts in ``x`` and ``y``, NaN in the data, or an infinity in a non-constant
        feature; ``MemoryError`` when the fit cannot fit in this machine's memory.
        """
    def predict(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        """One prediction per row of ``x``: a new, read-only float64 array.

        Raises ``PanicException`` before ``fit`` or when ``x`` has fewer features than the model uses.
        """
    def save(self, filename: str, format: _Format | None = "json") -> None:
        """Writes the whole state to ``filename`` in ``format`` (``"json"`` by default, or ``"bincode"``).

        The file is replaced atomically: a failed save leaves an earlier file as it was. Raises
        ``ValueError`` for an unknown format (before touching any file) and ``OSError`` when the file
        cannot be written.
        """
    def load(self, filename: str, format: _Format | None = "json") -> None:
        """Replaces the whole state, parameters included, with the model saved in ``filename``.

        Raises ``ValueError`` for an unknown format, ``FileNotFoundError`` / ``OSError`` for a file that
        cannot be read, and ``PanicException`` for malformed content or content of another model type;
        the instance is then unchanged.
        """

@final
class DecisionTree(_SavedModel):
    """A depth-limited regression tree whose every internal node is a randomised split.

    Parameters (``None`` means the default):

    - ``depth``: levels of splits, 0 to 255 (0 gives a tree that cannot predict); ``OverflowError`` outside.
    - ``min_samples_split``: a node with fewer samples is a leaf; not negative.

    Integer parameters take ``int`` (or objects with ``__index__``), never ``float``: ``TypeError``.
    """

    def __new__(
        cls, depth: SupportsIndex | None = 3, min_samples_split: SupportsIndex | None = 2
    ) -> DecisionTree: ...

@final
class GradientBoosting(_SavedModel):
    """Gradient boosting of randomised-split trees on squared error.

    Starts from the target mean; every stage fits a tree to the residuals, scaled by ``learning_rate``.

    Parameters (``None`` means the default):

    - ``depth``: levels of splits of every tree, 0 to 255.
    - ``min_samples_split``: a node with fewer samples is a leaf.
    - ``n_estimators``: boosting stages, below 2**32.
    - ``learning_rate``: the scale of every stage.

    Integer parameters take ``int`` (or objects with ``__index__``), never ``float``: ``TypeError``;
    ``OverflowError`` out of range.
    """

    def __new__(
        cls,
        depth: SupportsIndex | None = 3,
        min_samples_split: SupportsIndex | None = 2,
        n_estimators: SupportsIndex | None = 100,
        learning_rate: SupportsFloat | None = 0.1,
    ) -> GradientBoosting: ...

@final
class DeepGradientBoosting(_SavedModel):
    """Layers of averaged gradient-boosting models, boosted across layers.

    Each layer is fitted to the residual of the layers before it, sees the input features plus the earlier
    layers' predictions, and picks its members' depth, stages and learning rate by a five-fold
    cross-validated search over a fixed grid; the work runs on one worker thread per processor. Needs about
    ten samples or more.

    Parameters (``None`` means the default):

    - ``n_estimators``: layers, below 2**32.
    - ``layer_width``: models per layer, below 2**32.
    - ``learning_rate``: the scale of every layer after the first.

    Integer parameters take ``int`` (or objects with ``__index__``), never ``float``: ``TypeError``;
    ``OverflowError`` out of range.
    """

    def __new__(
        cls,
        n_estimators: SupportsIndex | None = 5,
        layer_width: SupportsIndex | None = 5,
        learning_rate: SupportsFloat | None = 0.25,
    ) -> DeepGradientBoosting: ...
