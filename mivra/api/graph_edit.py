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
    for field in (graph.initializer, graph.input):     # in place: nothing kept is copied
        for i in reversed([i for i, t in enumerate(field) if t.name in names]):
            del field[i]
