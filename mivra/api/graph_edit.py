"""Small in-place edits of an ONNX graph shared by the loader and the exports."""
from __future__ import annotations

import onnx


def unique_name(base: str, taken: set) -> str:
    """``base``, or ``base_1``, ``base_2``, ... : the first not in ``taken``
    (which then holds it)."""
    name, k = base, 1
    while name in taken:
        name = f"{base}_{k}"
        k += 1
    taken.add(name)
    return name


def drop_initializers(graph: onnx.GraphProto, names: set) -> None:
    """Remove the initializers called ``names``, and the graph inputs of those
    names (models before IR version 4 list every initializer as an input)."""
    if not names:
        return
    kept = [t for t in graph.initializer if t.name not in names]
    del graph.initializer[:]
    graph.initializer.extend(kept)
    kept_inputs = [v for v in graph.input if v.name not in names]
    del graph.input[:]
    graph.input.extend(kept_inputs)
