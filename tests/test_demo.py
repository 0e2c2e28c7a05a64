"""The built-in digits example: ONNX graph equals the torch network; fixed split; cache reuse."""
import numpy as np
import onnxruntime as ort

from mivra import demo


def _random_params(seed=0):
    rng = np.random.default_rng(seed)
    return [((rng.standard_normal(s) * 0.3).astype(np.float32), (rng.standard_normal(s[0]) * 0.1).astype(np.float32))
            for s in [(16, 1, 3, 3), (32, 16, 3, 3), (32, 32, 3, 3), (10, 32, 4, 4)]]


def test_onnx_graph_equals_torch_network():
    import torch
    from torch import nn

    net = nn.Sequential(nn.Conv2d(1, 16, 3, padding=1), nn.ReLU(), nn.Conv2d(16, 32, 3, padding=1), nn.ReLU(),
                        nn.MaxPool2d(2), nn.Conv2d(32, 32, 3, padding=1), nn.ReLU(), nn.Conv2d(32, 10, 4), nn.Flatten())
    x = np.random.default_rng(1).random((5, 1, 8, 8)).astype(np.float32)
    with torch.no_grad():
        for c, (w, b) in zip([m for m in net if isinstance(m, nn.Conv2d)], _random_params()):
            c.weight.copy_(torch.from_numpy(w))
            c.bias.copy_(torch.from_numpy(b))
        ref = net(torch.from_numpy(x)).numpy()
    got = ort.InferenceSession(demo.build_onnx(_random_params()).SerializeToString(),
                               providers=["CPUExecutionProvider"]).run(None, {"image": x})[0]
    np.testing.assert_allclose(got, ref, rtol=1e-4, atol=1e-4)


def test_demo_runs_on_a_fixed_split_and_reuses_its_cache(tmp_path, monkeypatch, capsys):
    a, b = demo.digits_split(), demo.digits_split()
    assert all(np.array_equal(u, v) for u, v in zip(a, b))
    x_tr, y_tr, _, y_te = a
    assert x_tr.shape[1:] == (1, 8, 8) and len(y_tr) + len(y_te) == 1797 and 0 <= x_tr.min() < x_tr.max() <= 1
    calls = []
    monkeypatch.setattr(demo, "train_model", lambda x, y, **kw: calls.append(len(y)) or _random_params())
    assert demo.run_demo(cache=str(tmp_path), bits=[4, 2], method="minmax") == 0
    out = capsys.readouterr().out
    assert calls == [len(y_tr)] and "float" in out and "min/max rounding" in out
    assert (tmp_path / demo.MODEL_FILE).is_file()
    lines = (tmp_path / demo.CALIB_DIR / "calib.txt").read_text().split("\n")
    assert len([ln for ln in lines if ln.endswith(".npy")]) == demo.N_CALIB
    demo.run_demo(cache=str(tmp_path), bits=[4], method="minmax")
    assert calls == [len(y_tr)]                     # second run: cached model, no training
