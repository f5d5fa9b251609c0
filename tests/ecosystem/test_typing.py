"""The typed API: mypy accepts ordinary use and flags misuse, and the stubs match the module."""
import os
import subprocess
import sys
import textwrap

import pytest

mypy_api = pytest.importorskip("mypy.api")
pytest.importorskip("sklearn", minversion="1.6")

ORDINARY = """
    import numpy as np
    from numpy.typing import NDArray

    import vandu
    import vandu_sklearn

    x = np.zeros((10, 3))
    y = np.zeros(10)
    tree = vandu.DecisionTree(depth=4, min_samples_split=2)
    tree.fit(x, y)
    p: NDArray[np.float64] = tree.predict(x)
    tree.save("tree.json")
    tree.save("tree.bin", "bincode")
    tree.load("tree.bin", format="bincode")
    vandu.GradientBoosting(3, 2, 100, 0.1).fit(x, y)
    vandu.GradientBoosting(depth=None, n_estimators=True, learning_rate=1)
    vandu.DeepGradientBoosting(n_estimators=np.int64(2), layer_width=2, learning_rate=np.float32(0.5))
    rule = vandu.DecisionRule("ignored", depth=1)
    rule.fit(x, y)
    mean: float = float(rule.predict(x).mean())

    estimator = vandu_sklearn.GradientBoostingRegressor(depth=2).fit(x.tolist(), [0.0] * 10)
    q: NDArray[np.float64] = estimator.predict(x)
    native: vandu.GradientBoosting = estimator.model_
    score: float = vandu_sklearn.DeepGradientBoostingRegressor(layer_width=1).score(x, y)
"""

# Each is flagged on its last line.
MISUSE = {
    "str_depth": "vandu.DecisionTree(depth='3')",
    "float_n_estimators": "vandu.GradientBoosting(n_estimators=1.5)",
    "fit_without_y": "vandu.GradientBoosting().fit(x)",
    "path_file_name": "vandu.DecisionTree().save(pathlib.Path('tree.json'))",
    "unknown_format": "vandu.DeepGradientBoosting().load('deep.json', 'JSON')",
    "save_a_rule": "vandu.DecisionRule().save('rule.json')",
    "prediction_as_str": "text: str = vandu.DecisionTree().predict(x)",
    "list_input": "vandu.DecisionTree().fit([[1.0]], [1.0])",
    "sklearn_str_depth": "vandu_sklearn.DecisionTreeRegressor(depth='3')",
}
MISUSE_HEAD = "import pathlib\nimport numpy as np\nimport vandu\nimport vandu_sklearn\nx = np.zeros((2, 1))\n"


def test_mypy_accepts_use_and_flags_misuse(tmp_path):
    (tmp_path / "ordinary.py").write_text(textwrap.dedent(ORDINARY))
    for name, line in MISUSE.items():
        (tmp_path / f"{name}.py").write_text(MISUSE_HEAD + line + "\n")
    # scikit-learn ships no annotations.
    # onnx is optional (the export imports it when called; ONNX Runtime 1.21 needs Python 3.10).
    (tmp_path / "mypy.ini").write_text(
        "[mypy]\n[mypy-sklearn.*]\nignore_missing_imports = True\n[mypy-onnx.*]\nignore_missing_imports = True\n")
    common = ["--strict", "--config-file", str(tmp_path / "mypy.ini"), "--cache-dir", str(tmp_path / "cache"),
              "--no-error-summary"]
    out, err, status = mypy_api.run([*common, str(tmp_path)])
    assert not err
    errors = {}
    for line in out.splitlines():
        where, _, message = line.partition(": error: ")
        if message:
            path, line_number = where.rsplit(":", 1)
            errors.setdefault(os.path.basename(path)[:-3], set()).add(int(line_number))
    assert errors.pop("ordinary", None) is None, out
    misuse_line = MISUSE_HEAD.count("\n") + 1
    assert errors == {name: {misuse_line} for name in MISUSE}, out
    # vandu_sklearn itself, as installed.
    assert mypy_api.run([*common, "-p", "vandu_sklearn"]) == ("", "", 0)


def test_stubs_match_the_module():
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vandu"], capture_output=True, text=True,
                            cwd=os.path.dirname(os.path.dirname(__file__)), timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
