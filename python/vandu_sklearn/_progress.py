"""Progress of a deep fit, weighted by what each fit costs.

A boosting fit's time grows with its trees' depth, its stages, its rows and its features; the search's
longest fits cost 50 times its shortest and go out first, so counting fits would promise far too long a
wait at first. Every fit counts here for depth x stages x rows x features, and the time left is the time
so far scaled by the work left over the work done. The members' parameters, and so their cost, are known
once a layer's search is done; until then each layer's members count for the grid's mean.
"""
from __future__ import annotations

import importlib
import time
from typing import Any, Dict, Optional, Sequence, Tuple

Combination = Tuple[int, int, float]  # member depth, stages, learning rate


def fit_cost(combination: Combination, rows: int, features: int) -> float:
    depth, stages, _ = combination
    return float(depth) * float(stages) * float(rows) * float(features)


class Progress:
    """A tqdm bar where tqdm is installed, else a line per layer; both give the elapsed and remaining time.

    Layers ``first`` to ``last`` - 1 are to be fitted, each a search (every grid combination fitted on
    ``fold_rows`` rows, for each hold-out evaluation) then ``width`` members fitted on ``rows`` rows; layer
    i sees ``features`` + i x ``new_features`` features.
    """

    def __init__(self, verbose: int, first: int, last: int, width: int, grid: Sequence[Combination],
                 fold_rows: Sequence[int], rows: int, features: int, new_features: int) -> None:
        self.first, self.last, self.width, self.grid = first, last, width, grid
        self.fold_rows, self.rows, self.features, self.new_features = fold_rows, rows, features, new_features
        self.started = time.monotonic()
        self.done = 0.0
        self.chosen: Dict[int, Combination] = {}
        self.bar: Any = None
        self.on = verbose > 0 and last > first
        if not self.on:
            return
        try:
            tqdm = importlib.import_module("tqdm.auto").tqdm
        except ImportError:
            return
        self.bar = tqdm(total=self.total(), desc=f"DeepGradientBoostingRegressor layer {first + 1}/{last}",
                        bar_format="{l_bar}{bar}| [{elapsed}<{remaining}{postfix}]")

    def layer_features(self, layer: int) -> int:
        return self.features + layer * self.new_features

    def search_cost(self, layer: int, combination: Combination, fit_rows: int) -> float:
        return fit_cost(combination, fit_rows, self.layer_features(layer))

    def member_cost(self, layer: int, combination: Optional[Combination]) -> float:
        features = self.layer_features(layer)
        if combination is None:
            return sum(fit_cost(c, self.rows, features) for c in self.grid) / len(self.grid)
        return fit_cost(combination, self.rows, features)

    def layer_cost(self, layer: int) -> float:
        search = sum(self.search_cost(layer, c, fit_rows) for c in self.grid for fit_rows in self.fold_rows)
        return search + self.width * self.member_cost(layer, self.chosen.get(layer))

    def total(self) -> float:
        return sum(self.layer_cost(layer) for layer in range(self.first, self.last))

    def advance(self, cost: float) -> None:
        self.done += cost
        if self.bar is not None:
            self.bar.update(cost)

    def choose(self, layer: int, combination: Combination) -> None:
        """The layer's search chose its members' parameters: their cost is known."""
        self.chosen[layer] = combination
        if self.bar is not None:
            self.bar.total = self.total()
            self.bar.refresh()

    def left(self) -> float:
        """Seconds left at the pace so far."""
        if self.done <= 0.0:
            return float("nan")
        return (time.monotonic() - self.started) / self.done * max(self.total() - self.done, 0.0)

    def layer_done(self, layer: int, combination: Combination) -> None:
        if not self.on:
            return
        depth, stages, rate = combination
        chosen = f"depth {depth}, {stages} stages, rate {rate}"
        if self.bar is not None:
            if layer + 1 < self.last:
                self.bar.set_description(f"DeepGradientBoostingRegressor layer {layer + 2}/{self.last}")
            else:
                self.bar.set_description("DeepGradientBoostingRegressor")
            self.bar.set_postfix_str(f"layer {layer + 1}/{self.last}: {chosen}")
            return
        elapsed = time.monotonic() - self.started
        print(f"[DeepGradientBoostingRegressor] layer {layer + 1}/{self.last} fitted ({chosen}); "
              f"elapsed {elapsed:.1f} s, about {self.left():.1f} s left", flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
