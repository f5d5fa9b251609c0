"""Array arguments and prediction arrays."""
import sys

import numpy as np
import pytest

import vandu
from conftest import expect_panic, panic_exception_type, run_python, running_mean


def extraction_message(dim, dtype, to):
    return (f"Extraction failed:\n from=(dim={dim}, dtype={dtype}), to=(dim={to}, dtype=Float64)\n"
            " context: [FromPyObject::extract] typecheck failed")


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return info.value.args


LONG = "Int64" if np.dtype(np.int_).itemsize == 8 else "Int32"
ULONG = "Uint64" if np.dtype(np.uint).itemsize == 8 else "Uint32"


@pytest.mark.parametrize("dtype, name", [
    (np.bool_, "Bool"), (np.int8, "Int8"), (np.uint8, "Uint8"), (np.int16, "Int16"),
    (np.uint16, "Uint16"), (np.intc, "Int32"), (np.uintc, "Uint32"), (np.int_, LONG),
    (np.uint, ULONG), (np.longlong, "Int64"), (np.ulonglong, "Uint64"),
    (np.float32, "Float32"), (np.longdouble, "Unsupported"), (np.complex64, "Complex32"),
    (np.complex128, "Complex64"), (np.float16, "Unsupported"), (object, "Unsupported"),
    ("U3", "Unsupported"), ("datetime64[s]", "Unsupported"),
])
def test_element_type_names(dtype, name):
    x = np.zeros((4, 2), dtype=dtype)
    args = type_error(lambda: vandu.DecisionRule().fit(x, np.zeros(4)))
    assert args == (extraction_message(2, name, 2),)


@pytest.mark.parametrize("x, y, message", [
    (np.zeros(4), np.zeros(4), extraction_message(1, "Float64", 2)),
    (np.zeros((4, 2, 1)), np.zeros(4), extraction_message(3, "Float64", 2)),
    (np.zeros((4, 2)), np.zeros((4, 1)), extraction_message(2, "Float64", 1)),
    (np.zeros((4, 2)), np.zeros(4, dtype=np.float32), extraction_message(1, "Float32", 1)),
    (np.zeros(4, dtype=np.int64), np.zeros(4), extraction_message(1, "Int64", 2)),
    (np.array(1.0), np.zeros(4), extraction_message(0, "Float64", 2)),
    # x is checked before y is looked at.
    (np.zeros((4, 2), dtype=np.float32), [1.0], extraction_message(2, "Float32", 2)),
])
def test_extraction_failures(x, y, message):
    assert type_error(lambda: vandu.DecisionRule().fit(x, y)) == (message,)


@pytest.mark.parametrize("x, y", [
    ([[1.0, 2.0], [3.0, 4.0]], np.zeros(2)),
    (np.zeros((2, 2)), [1.0, 2.0]),
    (np.zeros((2, 2)), None),
    (np.float64(1.0), np.zeros(2)),
    (memoryview(np.zeros((2, 2))), np.zeros(2)),
])
def test_non_arrays_fail_without_message(x, y):
    assert type_error(lambda: vandu.DecisionRule().fit(x, y)) == ()


def test_predict_checks_x(fitted_rule):
    assert type_error(lambda: fitted_rule.predict([[1.0, 2.0, 3.0]])) == ()
    assert type_error(lambda: fitted_rule.predict(np.zeros(3))) == (extraction_message(1, "Float64", 2),)


def test_array_subclasses_are_accepted(fitted_rule, xy):
    class Sub(np.ndarray):
        pass

    x = xy[0]
    assert np.array_equal(fitted_rule.predict(x.view(Sub)), fitted_rule.predict(x))


def misaligned(a, order="C"):
    """A copy of `a` whose data starts one byte past an aligned address."""
    raw = np.empty(a.nbytes + 1, dtype=np.uint8)
    out = raw[1:].view(a.dtype).reshape(a.shape, order=order)
    out[...] = a
    assert not out.flags.aligned
    assert out.flags.f_contiguous if order == "F" else out.flags.c_contiguous
    return out


def swapped(a):
    """The same values stored in the opposite byte order."""
    out = a.astype(a.dtype.newbyteorder())
    assert not out.dtype.isnative
    return out


def strided_record_view(a):
    """A view whose element strides are not a multiple of 8 bytes."""
    rec = np.zeros(a.shape, dtype=[("v", "<f8"), ("pad", "u1")])
    rec["v"] = a
    out = rec["v"]
    assert out.strides[-1] == 9
    return out


# Each layout is a function of a row-major x giving an array of the same values.
X_LAYOUTS = {
    "c": lambda x: x,
    "fortran": np.asfortranarray,
    "every_other_row": lambda x: np.repeat(x, 2, axis=0)[::2],
    "reversed_rows": lambda x: x[::-1].copy()[::-1],
    "reversed_columns": lambda x: x[:, ::-1].copy()[:, ::-1],
    "both_reversed": lambda x: x[::-1, ::-1].copy()[::-1, ::-1],
    "transposed_view": lambda x: x.T.copy().T,
    "column_slice": lambda x: np.hstack([x, x])[:, : x.shape[1]],
    "non_native": swapped,
    "non_native_fortran": lambda x: np.asfortranarray(swapped(x)),
    "misaligned": misaligned,
    "misaligned_fortran": lambda x: misaligned(x, order="F"),
    "odd_strides": strided_record_view,
    "read_only": lambda x: np.frombuffer(x.tobytes()).reshape(x.shape),
}


@pytest.mark.parametrize("layout", sorted(X_LAYOUTS))
def test_predict_reads_any_layout(layout, fitted_rule, rng):
    x = rng.normal(size=(25, 3))
    view = X_LAYOUTS[layout](x)
    np.testing.assert_array_equal(view, x)
    assert np.array_equal(fitted_rule.predict(view), fitted_rule.predict(x))


@pytest.mark.parametrize("layout", ["every_other_row", "reversed_rows"])
def test_predict_on_views_matches_contiguous_copy(layout, fitted_rule, rng):
    x = rng.normal(size=(30, 3))
    view = x[::2] if layout == "every_other_row" else x[::-1]
    assert np.array_equal(fitted_rule.predict(view), fitted_rule.predict(np.ascontiguousarray(view)))


def test_broadcast_x_is_read(fitted_rule, rng):
    row = rng.normal(size=3)
    x = np.broadcast_to(row, (5, 3))
    assert x.strides[0] == 0
    expected = fitted_rule.predict(row.reshape(1, 3))[0]
    assert fitted_rule.predict(x).tolist() == [expected] * 5


def side_means(rule, x, y):
    """Training predictions of a DecisionRule are exactly the running means of each side."""
    p = rule.predict(np.ascontiguousarray(x))
    sides = sorted(set(p.tolist()))
    assert len(sides) == 2
    for value in sides:
        assert value == running_mean(y[p == value].tolist())


Y_LAYOUTS = {
    "contiguous": lambda y: y,
    "strided": lambda y: np.repeat(y, 3)[::3],
    "reversed": lambda y: y[::-1].copy()[::-1],
    "non_native": swapped,
    "misaligned": misaligned,
    "odd_strides": strided_record_view,
    "read_only": lambda y: np.frombuffer(y.tobytes()),
}


@pytest.mark.parametrize("y_layout", sorted(Y_LAYOUTS))
@pytest.mark.parametrize("x_layout", ["c", "fortran", "reversed_rows", "non_native", "misaligned"])
def test_fit_reads_true_values_in_any_layout(x_layout, y_layout, rng):
    x = rng.normal(size=(30, 2))
    y = rng.normal(size=30)
    rule = vandu.DecisionRule()
    assert rule.fit(X_LAYOUTS[x_layout](x), Y_LAYOUTS[y_layout](y)) is None
    side_means(rule, x, y)


def test_fit_does_not_change_its_arguments(rng):
    x = swapped(rng.normal(size=(10, 2)))
    y = swapped(rng.normal(size=10))
    before = (x.copy(), y.copy())
    vandu.DecisionRule().fit(x, y)
    assert np.array_equal(x, before[0]) and np.array_equal(y, before[1])
    assert x.dtype == before[0].dtype and y.dtype == before[1].dtype


def test_sample_counts_must_agree(xy):
    x, y = xy
    rule = vandu.DecisionRule()
    rule.fit(x, y)
    expected = rule.predict(x)
    expect_panic(lambda: rule.fit(x[:5], y[:4]),
                 "assertion failed: `(left == right)`\n  left: `5`,\n right: `4`")
    expect_panic(lambda: rule.fit(np.zeros((0, 3)), y),
                 f"assertion failed: `(left == right)`\n  left: `0`,\n right: `{len(y)}`")
    assert np.array_equal(rule.predict(x), expected)  # left untouched


def test_prediction_array(fitted_rule, xy):
    result = fitted_rule.predict(xy[0])
    assert type(result) is np.ndarray
    assert result.dtype == np.float64 and result.dtype.isnative
    assert result.shape == (len(xy[0]),) and result.strides == (8,)
    assert not result.flags.writeable
    assert not result.flags.owndata
    assert result.flags.c_contiguous and result.flags.aligned
    with pytest.raises(ValueError):
        result[0] = 1.0
    copy = np.array(result)
    copy[0] = 1.0
    assert copy.flags.writeable


def test_prediction_memory_goes_with_the_last_array(fitted_rule, xy):
    result = fitted_rule.predict(xy[0])
    keeper = result.base
    view = result[::2]
    del result
    assert sys.getrefcount(keeper) == 3  # ours, the argument, and the view's base
    del view
    assert sys.getrefcount(keeper) == 2


@pytest.mark.parametrize("rows", [0, 1])
def test_small_predictions(rows, fitted_rule):
    result = fitted_rule.predict(np.zeros((rows, 3)))
    assert result.shape == (rows,) and result.dtype == np.float64
    assert not result.flags.writeable and not result.flags.owndata
    assert type(result.base).__name__ == "SliceBox"


def test_fit_on_zero_samples_finds_no_split():
    rule = vandu.DecisionRule()
    assert rule.fit(np.zeros((0, 3)), np.zeros(0)) is None
    expect_panic(lambda: rule.predict(np.zeros((1, 3))),
                 "called `Option::unwrap()` on a `None` value")


def test_numpy_is_found_without_deprecation_warnings():
    code = ("import warnings, numpy as np, vandu\n"
            "warnings.simplefilter('error')\n"
            "r = vandu.DecisionRule()\n"
            "r.fit(np.arange(8.0).reshape(4, 2), np.arange(4.0))\n"
            "print(r.predict(np.zeros((1, 2))).shape)\n")
    result = run_checked(code, "-W", "error")
    assert result.stdout.strip() == "(1,)"


def run_checked(code, *flags):
    result = run_python(code, *flags)
    assert result.returncode == 0, result.stderr
    return result


def test_missing_numpy_is_an_internal_failure():
    code = ("import sys\n"
            "sys.modules['numpy'] = None\n"
            "import vandu\n"
            "for _ in range(2):\n"
            "    try:\n"
            "        vandu.DecisionRule().fit(1, 2)\n"
            "    except BaseException as e:\n"
            "        print(type(e).__module__, type(e).__name__, e.args)\n")
    result = run_checked(code)
    assert result.stdout.splitlines() == [
        "pyo3_runtime PanicException ('Failed to import numpy module',)"] * 2
    assert panic_exception_type() is not None
