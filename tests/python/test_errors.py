"""How failures reach Python: PanicException, the borrow exceptions, OS errors."""
import errno
import os
import pathlib
import re

import numpy as np
import pytest

import vandu
from conftest import expect_panic, panic_exception_type

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def raised(call):
    try:
        call()
    except BaseException as e:  # noqa: B036
        return e
    pytest.fail("no exception")


def test_panic_exception_class():
    e = expect_panic(lambda: vandu.DecisionRule().predict(np.zeros((1, 1))), UNWRAP_NONE)
    cls = type(e)
    assert cls.__name__ == "PanicException" and cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(e, Exception)
    assert str(e) == UNWRAP_NONE
    assert not hasattr(vandu, "PanicException")
    # One class for the whole process.
    assert type(raised(lambda: vandu.DecisionRule().predict(np.zeros((1, 1))))) is cls


def test_except_exception_does_not_catch_a_panic():
    with pytest.raises(BaseException) as info:
        try:
            vandu.DecisionRule().predict(np.zeros((1, 1)))
        except Exception:  # noqa: BLE001 - the point of the test
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value) is panic_exception_type()


class ReentrantKey(str):
    """A keyword name whose str() calls back into an estimator while it is borrowed."""

    def __new__(cls, callback):
        key = super().__new__(cls, "extra")
        key.callback = callback
        return key

    def __str__(self):
        self.callback()
        return "extra"


def reenter(outer, inner):
    """Calls outer(**{key: 1}) where str(key) runs inner(); returns what outer raised."""
    return raised(lambda: outer(**{ReentrantKey(inner): 1}))


@pytest.mark.parametrize("outer, inner, name", [
    ("fit", "predict", "PyBorrowError"),
    ("fit", "fit", "PyBorrowMutError"),
    ("predict", "fit", "PyBorrowMutError"),
])
def test_reentry_is_refused(outer, inner, name, xy):
    x, y = xy
    rule = vandu.DecisionRule()
    rule.fit(x, y)
    expected = rule.predict(x)
    calls = {"fit": lambda: rule.fit(x, y), "predict": lambda: rule.predict(x)}
    outer_call = {"fit": lambda **kw: rule.fit(x, y, **kw), "predict": lambda **kw: rule.predict(x, **kw)}
    e = reenter(outer_call[outer], calls[inner])
    assert type(e).__name__ == name and type(e).__module__ == "pyo3_runtime"
    assert isinstance(e, RuntimeError)
    assert e.args == () and str(e) == ""
    # Every borrow was ended: the rule is usable again and unchanged.
    assert np.array_equal(rule.predict(x), expected)
    rule.fit(x, y)


def test_shared_borrows_nest(fitted_rule, xy):
    x = xy[0]
    inner_results = []
    e = reenter(lambda **kw: fitted_rule.predict(x, **kw),
                lambda: inner_results.append(fitted_rule.predict(x)))
    assert type(e) is TypeError
    assert str(e) == "DecisionRule.predict() got an unexpected keyword argument: extra"
    assert np.array_equal(inner_results[0], fitted_rule.predict(x))


def test_borrow_errors_are_caught_as_runtime_error(fitted_rule, xy):
    x, y = xy
    with pytest.raises(RuntimeError):
        fitted_rule.fit(x, y, **{ReentrantKey(lambda: fitted_rule.predict(x)): 1})


@pytest.mark.parametrize("outer, inner, name", [
    ("save", "load", "PyBorrowMutError"),
    ("save", "fit", "PyBorrowMutError"),
    ("load", "save", "PyBorrowError"),
    ("load", "predict", "PyBorrowError"),
])
def test_reentry_into_file_methods_is_refused(outer, inner, name, xy, tmp_path):
    x, y = xy
    tree = vandu.DecisionTree(depth=2)
    path = str(tmp_path / "never.json")
    calls = {"fit": lambda: tree.fit(x, y), "predict": lambda: tree.predict(x),
             "save": lambda: tree.save(path), "load": lambda: tree.load(path)}
    outer_call = {"save": lambda **kw: tree.save(path, **kw), "load": lambda **kw: tree.load(path, **kw)}
    e = reenter(outer_call[outer], calls[inner])
    assert type(e).__name__ == name
    assert not os.path.exists(path)
    tree.fit(x, y)  # borrow ended


def test_panic_coming_back_through_python_keeps_its_message(capfd):
    class Index:
        def __index__(self):
            vandu.DecisionRule().predict(np.zeros((1, 1)))  # raises PanicException

    e = expect_panic(lambda: vandu.DecisionTree(depth=Index()), UNWRAP_NONE)
    assert e is not None
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err
    assert UNWRAP_NONE in err


def test_panic_without_a_text_message(capfd):
    panic = panic_exception_type()

    class Index:
        def __index__(self):
            raise panic(42)

    expect_panic(lambda: vandu.GradientBoosting(n_estimators=Index()),
                 "Unwrapped panic from Python code")


def test_failure_report_names_the_source_relative_to_the_project(capfd):
    expect_panic(lambda: vandu.DecisionTree().predict(np.zeros((1, 1))),
                 "index out of bounds: the len is 0 but the index is 0")
    report = capfd.readouterr().err
    place = re.search(r"vandu: thread 'host' failed at (\S+):(\d+): index out of bounds", report)
    assert place, report
    path = place.group(1)
    assert path.startswith("src/tree/")
    assert (pathlib.Path(__file__).parents[2] / path).is_file()


@pytest.mark.parametrize("make", [
    lambda: vandu.DecisionTree(depth=2),
    lambda: vandu.GradientBoosting(depth=1, n_estimators=2),
    lambda: vandu.DeepGradientBoosting(n_estimators=1, layer_width=1),
])
def test_failed_fit_ends_the_borrow(make, rng):
    x = rng.normal(size=(12, 2))
    y = rng.normal(size=12)
    model = make()
    expect_panic(lambda: model.fit(x, y[:-1]),
                 "assertion failed: `(left == right)`\n  left: `12`,\n right: `11`")
    assert model.fit(x, y) is None
    assert model.predict(x).shape == (12,)


def test_other_python_errors_pass_through_unchanged():
    error = KeyError("mine")

    class Index:
        def __index__(self):
            raise error

    assert raised(lambda: vandu.DecisionTree(min_samples_split=Index())) is error


# --- operating-system errors and formats (need save and load) ---

def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


def test_missing_file_is_file_not_found(persistence):
    path = str(persistence / "missing.json")
    for cls in (vandu.DecisionTree, vandu.GradientBoosting, vandu.DeepGradientBoosting):
        e = raised(lambda: cls().load(path))
        assert type(e) is FileNotFoundError
        assert e.args == (os_text(errno.ENOENT),)
        assert e.errno is None and e.filename is None
        # The missing file is reported before the unknown format name.
        assert type(raised(lambda: cls().load(path, "yaml"))) is FileNotFoundError


def test_missing_directory_on_save(persistence):
    e = raised(lambda: vandu.DecisionTree().save(str(persistence / "no" / "such.json")))
    assert type(e) is FileNotFoundError
    assert e.args == (os_text(errno.ENOENT),)


def test_other_os_errors_are_plain_os_error(persistence):
    # A path through a regular file: ENOTDIR, which has no class of its own here.
    (persistence / "file").write_text("")
    path = str(persistence / "file" / "m.json")
    for call in (lambda: vandu.DecisionTree().save(path), lambda: vandu.DecisionTree().load(path)):
        e = raised(call)
        assert type(e) is OSError
        assert e.args == (os_text(errno.ENOTDIR),)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0,
                    reason="permissions do not bind the superuser")
def test_refused_permission_is_plain_os_error(persistence):
    locked = persistence / "locked"
    locked.mkdir(mode=0o500)
    e = raised(lambda: vandu.DecisionTree().save(str(locked / "m.json")))
    assert type(e) is OSError
    assert e.args == (os_text(errno.EACCES),)


@pytest.mark.parametrize("name", ["JSON", "Json", " json", "json ", "bin", "", "json\0", "\0",
                                  "bin\0code", "\0json\0\0"])
def test_unknown_format_is_value_error(name, persistence):
    path = str(persistence / "m.json")
    vandu.DecisionTree().save(path)
    for call in (lambda: vandu.DecisionTree().save(path, name),
                 lambda: vandu.DecisionTree().load(path, format=name)):
        e = raised(call)
        assert type(e) is ValueError
        assert e.args == (f'Incorrect format: `{name}`. Please, use one of: ["json", "bincode"]',)


@pytest.mark.parametrize("filename, format_", [(b"m.json", None), (1, None), (None, None),
                                                ("m.json", b"json"), ("m.json", 1)])
def test_text_arguments_must_be_strings(filename, format_, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for call in (lambda: vandu.DecisionTree().save(filename, format_),
                 lambda: vandu.GradientBoosting().load(filename, format_)):
        e = raised(call)
        assert type(e) is TypeError and e.args == ()
    assert list(tmp_path.iterdir()) == []


def test_unencodable_text_is_the_host_encoding_error(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert type(raised(lambda: vandu.DecisionTree().save("m\udc80.json"))) is UnicodeEncodeError
    assert type(raised(lambda: vandu.DecisionTree().save("m.json", "js\udc80n"))) is UnicodeEncodeError
    assert list(tmp_path.iterdir()) == []


def test_file_name_with_nul_is_refused(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for call in (lambda: vandu.DecisionTree().save("m\0.json"),
                 lambda: vandu.DeepGradientBoosting().load("m\0.json")):
        e = raised(call)
        assert type(e) is OSError
        assert e.args == ("file name contained an unexpected NUL byte",)
    assert list(tmp_path.iterdir()) == []


def test_none_format_means_json(persistence, xy):
    tree = vandu.DecisionTree(depth=2)
    tree.fit(*xy)
    path = persistence / "m"
    tree.save(str(path), None)
    assert path.read_text().startswith('{"params":{"depth":2,')
    other = vandu.DecisionTree(depth=5)
    other.load(str(path), format=None)
    assert np.array_equal(other.predict(xy[0]), tree.predict(xy[0]))


def test_failed_load_leaves_the_model_and_its_borrow_intact(persistence, xy):
    tree = vandu.DecisionTree(depth=2)
    tree.fit(*xy)
    expected = tree.predict(xy[0])
    bad = persistence / "bad.json"
    bad.write_text("{")
    assert type(raised(lambda: tree.load(str(bad)))) is panic_exception_type()
    assert np.array_equal(tree.predict(xy[0]), expected)
    tree.fit(*xy)
