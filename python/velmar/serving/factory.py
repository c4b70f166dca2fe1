"""Builds the evaluator that an ``--evaluator`` value names.

``uniform``, ``sleep:MS`` (uniform answers after MS milliseconds per batch,
for measuring batching), ``heuristic[:TEMPERATURE[:CORNER_WEIGHT]]``
(``velmar.serving.heuristic``), ``numpy``, ``numpy:PATH`` (weights from an
.npz), ``torch``, ``torch:PATH`` (a state dict saved with torch.save, or an
.npz of the same names), and ``package.module.factory[:ARG]``, which imports
``factory`` and calls it as ``factory(ARG, seed=..., device=...)`` (ARG is
None when absent).
"""

import importlib

from velmar.common.settings import EvaluatorSpec
from velmar.serving.evaluators import (NumpyEvaluator, SleepEvaluator, TorchEvaluator,
                                       UniformEvaluator)
from velmar.serving.heuristic import HeuristicEvaluator


def make_evaluator(choice, seed=0, device=None):
    """Builds the evaluator that ``choice`` (an ``EvaluatorSpec`` or its
    text) names; ValueError for one it cannot name."""
    spec = EvaluatorSpec.parse(choice)
    if spec.kind == "uniform":
        return UniformEvaluator()
    if spec.kind == "sleep":
        return SleepEvaluator(spec.arg)
    if spec.kind == "heuristic":
        return HeuristicEvaluator.from_arg(spec.arg)
    if spec.kind == "numpy":
        return NumpyEvaluator(spec.arg, seed)
    if spec.kind == "torch":
        return TorchEvaluator(spec.arg, seed, device)
    module, _, attr = spec.name.rpartition(".")
    factory = getattr(importlib.import_module(module), attr, None)
    if not callable(factory):
        raise ValueError("%s.%s is %s" % (
            module, attr, "missing" if factory is None else "not callable"))
    return factory(spec.arg, seed=seed, device=device)
