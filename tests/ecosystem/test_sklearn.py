"""vandu_sklearn: scikit-learn's estimator checks, input conversion, errors, pickling, model selection."""
import copy
import json
import pickle

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6")
pd = pytest.importorskip("pandas")
joblib = pytest.importorskip("joblib")

from sklearn.base import clone  # noqa: E402
from sklearn.exceptions import FitFailedWarning, NotFittedError  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

import vandu  # noqa: E402
import vandu_sklearn  # noqa: E402
from vandu_sklearn import (  # noqa: E402
    DecisionTreeRegressor, DeepGradientBoostingRegressor, GradientBoostingRegressor, NativeModelError)

# Small enough to keep the deep model's five-fold searches quick, and still two layers.
SMALL = [
    DecisionTreeRegressor(depth=4),
    GradientBoostingRegressor(depth=2, n_estimators=40),
    DeepGradientBoostingRegressor(n_estimators=2, layer_width=1),
]
CHECKS = parametrize_with_checks(SMALL, expected_failed_checks=lambda e: vandu_sklearn.EXPECTED_FAILED_CHECKS)


# A list: scikit-learn before 1.7 hands pytest a generator, which pytest 9 warns about.
@pytest.mark.parametrize(*CHECKS.args[:1], list(CHECKS.args[1]), **CHECKS.kwargs)
def test_scikit_learn_checks(estimator, check):
    check(estimator)


def data(n=60, features=4):
    rng = np.random.default_rng()
    x = rng.normal(size=(n, features))
    return x, x[:, 0] - 2.0 * x[:, 1] + rng.normal(scale=0.1, size=n)


@pytest.mark.parametrize("estimator", SMALL, ids=lambda e: type(e).__name__)
def test_parameters_reach_the_native_model(estimator, tmp_path):
    native = type(estimator)._native_class
    assert list(type(estimator)().get_params()) == sorted({
        "DecisionTree": ["depth", "min_samples_split"],
        "GradientBoosting": ["depth", "min_samples_split", "n_estimators", "learning_rate", "n_iter_no_change",
                             "validation_fraction", "tol"],
        "DeepGradientBoosting": ["n_estimators", "layer_width", "learning_rate", "n_jobs", "verbose", "warm_start",
                                 "n_iter_no_change", "validation_fraction", "tol"],
    }[native.__name__])
    x, y = data()
    estimator = clone(estimator)
    assert estimator.fit(x, y) is estimator
    assert type(estimator.model_) is native
    estimator.model_.save(str(tmp_path / "model.json"))
    params = json.loads((tmp_path / "model.json").read_text())["params"]
    params.update(params.pop("est_params", {}))
    assert params == {name: value for name, value in estimator.get_params().items()
                      if name not in type(estimator)._python_parameters}


def as_list(x):
    return x.tolist()


def as_frame(x):
    return pd.DataFrame(x, columns=[f"f{i}" for i in range(x.shape[1])])


@pytest.mark.parametrize("convert", [
    as_list,
    as_frame,
    lambda x: x.astype(np.float32),
    lambda x: np.rint(x * 10).astype(np.int64),
    np.asfortranarray,
    lambda x: np.repeat(x, 2, axis=1)[::-1, ::2],
], ids=["list", "DataFrame", "float32", "int64", "Fortran", "strided"])
def test_array_likes_are_converted(convert):
    x, y = data()
    given = convert(x)
    values = np.ascontiguousarray(np.asarray(given, dtype=np.float64))
    model = GradientBoostingRegressor(n_estimators=10).fit(given, y.tolist())
    assert model.n_features_in_ == 4
    names = getattr(given, "columns", None)
    assert hasattr(model, "feature_names_in_") == (names is not None)
    predicted = model.predict(given)
    assert predicted.dtype == np.float64 and predicted.flags.writeable
    assert predicted.tobytes() == model.model_.predict(values).tobytes()


@pytest.mark.parametrize("params, x, y, error, match", [
    ({"depth": "3"}, None, None, TypeError, "depth"),
    ({"n_estimators": 1.5}, None, None, TypeError, "n_estimators"),
    ({"depth": 0}, None, None, ValueError, "depth"),
    ({"depth": 256}, None, None, ValueError, "depth"),
    ({"learning_rate": float("nan")}, None, None, ValueError, "learning_rate"),
    ({}, np.array([[np.nan, 1.0], [0.0, 1.0]]), [1.0, 2.0], ValueError, "NaN"),
    ({}, np.array([[np.inf, 1.0], [0.0, 1.0]]), [1.0, 2.0], ValueError, "infinity"),
    ({}, np.zeros((0, 2)), [], ValueError, "0 sample"),
    ({}, np.zeros((1, 2)), [1.0], ValueError, "1 sample"),
    ({}, np.zeros((3, 2)), [1.0, 2.0], ValueError, "inconsistent numbers of samples"),
])
def test_fit_refuses(params, x, y, error, match):
    if x is None:
        x, y = data()
    model = GradientBoostingRegressor(**params)
    with pytest.raises(error, match=match):
        model.fit(x, y)
    assert not hasattr(model, "model_")


def test_predict_refuses():
    x, y = data()
    with pytest.raises(NotFittedError):
        DecisionTreeRegressor().predict(x)
    model = DecisionTreeRegressor().fit(x, y)
    for bad, match in [(x[:, :3], "4 features"), (np.full_like(x, np.nan), "NaN"), (x[:0], "0 sample")]:
        with pytest.raises(ValueError, match=match):
            model.predict(bad)


def test_native_failures_are_ordinary_exceptions():
    x, y = data(n=6)
    with pytest.raises(NativeModelError, match="DeepGradientBoostingRegressor.fit failed in the native model: "
                       "index out of bounds") as info:
        DeepGradientBoostingRegressor().fit(x, y)
    cause = info.value.__cause__
    assert type(cause).__name__ == "PanicException" and not isinstance(cause, Exception)
    assert str(cause) in str(info.value)
    # So a model selection goes on past a failing fold: 6 training samples are too few, 14 are enough.
    x, y = data(n=20)
    folds = [(np.arange(6), np.arange(6, 20)), (np.arange(14), np.arange(14, 20))]
    with pytest.warns(FitFailedWarning, match="index out of bounds"):
        scores = cross_val_score(DeepGradientBoostingRegressor(n_estimators=1, layer_width=1), x, y, cv=folds)
    assert np.isnan(scores[0]) and np.isfinite(scores[1])


def pickled(model):
    return pickle.loads(pickle.dumps(model))


def joblib_round_trip(model, directory):
    joblib.dump(model, directory / "model.joblib")
    return joblib.load(directory / "model.joblib")


@pytest.mark.parametrize("estimator", SMALL, ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy", "joblib"])
def test_fitted_models_travel_as_bincode(estimator, how, tmp_path):
    x, y = data()
    model = clone(estimator).fit(x, y)
    again = {"pickle": pickled, "copy": copy.copy, "deepcopy": copy.deepcopy,
             "joblib": lambda m: joblib_round_trip(m, tmp_path)}[how](model)
    assert type(again) is type(model) and again.get_params() == model.get_params()
    assert again.model_ is not model.model_ and type(again.model_) is type(model.model_)
    assert again.predict(x).tobytes() == model.predict(x).tobytes()
    # The bytes are the native bincode file.
    path = tmp_path / "model.bin"
    model.model_.save(str(path), "bincode")
    assert model.__getstate__()["model_"] == path.read_bytes()
    unfitted = clone(model)
    assert unfitted.get_params() == model.get_params() and not hasattr(unfitted, "model_")
    assert not hasattr(pickled(unfitted), "model_")


def test_bad_bytes_do_not_load():
    model = DecisionTreeRegressor().fit(*data())
    state = model.__getstate__()
    with pytest.raises(NativeModelError, match="loading a DecisionTree failed in the native model"):
        DecisionTreeRegressor().__setstate__(dict(state, model_=state["model_"][:-9]))
    with pytest.raises(TypeError, match="must be bytes"):
        DecisionTreeRegressor().__setstate__(dict(state, model_="text"))


def test_model_selection_with_process_workers():
    x, y = data(n=90)
    pipeline = make_pipeline(StandardScaler(), GradientBoostingRegressor(n_estimators=30))
    search = GridSearchCV(pipeline, {"gradientboostingregressor__depth": [1, 3]}, cv=3, n_jobs=2)
    search.fit(x, y)
    assert search.best_params_["gradientboostingregressor__depth"] in (1, 3)
    assert type(search.best_estimator_[-1].model_) is vandu.GradientBoosting
    assert search.best_estimator_.predict(x).shape == (90,)
    scores = cross_val_score(DecisionTreeRegressor(depth=4), x, y, cv=3, n_jobs=2)
    assert scores.shape == (3,) and np.isfinite(scores).all()
