"""Test configuration: make the helper modules in tests/ and the in-tree
package importable."""
import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, _HERE)
sys.path.insert(0, os.path.dirname(_HERE))


import pytest  # noqa: E402


@pytest.fixture(autouse=True)
def _restore_torch_threads():
    """GdqQuant.run() pins the CPU math libraries to 8 threads for the rest of
    the process; each test gets back what it started with."""
    import torch

    n = torch.get_num_threads()
    yield
    torch.set_num_threads(n)
