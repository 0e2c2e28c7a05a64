"""Real-size networks for the end-to-end benchmarks, built in torch and exported
to ONNX, with seeded weights (their values do not matter for time and memory;
their spread is that of trained networks, so activations stay in range).

* ``mobilenet``: MobileNetV2-shaped, 224 x 224 RGB in: a 3x3 stem, 17 inverted
  residual blocks (1x1 expansion, 3x3 depthwise, 1x1 projection), a 1x1 conv to
  1280 channels, global pooling and a MatMul head (1280 -> 1000); 52 Convs, 17
  of them depthwise, 3.5 M parameters.
* ``resnet50``: ResNet-50-sized, 224 x 224 RGB in: 53 Convs (stem, 16
  bottleneck blocks, 4 projection shortcuts) and a Gemm (2048 -> 1000);
  25.5 M parameters.

Calibration samples are captcha images resized to 224 x 224 and scaled to
[-1, 1] (any natural-looking images serve for timing).
"""
from __future__ import annotations

import os

import numpy as np

# MobileNetV2's blocks: (expansion, out channels, repeats, first stride).
MOBILENET_BLOCKS = [(1, 16, 1, 1), (6, 24, 2, 2), (6, 32, 3, 2), (6, 64, 4, 2), (6, 96, 3, 1),
                    (6, 160, 3, 2), (6, 320, 1, 1)]
RESNET50_BLOCKS = [(64, 3, 1), (128, 4, 2), (256, 6, 2), (512, 3, 2)]   # (width, repeats, stride)


def _torch_nets():
    import torch
    from torch import nn

    def conv(cin, cout, k, stride=1, groups=1):
        c = nn.Conv2d(cin, cout, k, stride, k // 2, groups=groups, bias=True)
        nn.init.kaiming_normal_(c.weight, nonlinearity="relu")
        nn.init.uniform_(c.bias, -0.05, 0.05)
        return c

    class InvertedResidual(nn.Module):
        def __init__(self, cin, cout, expand, stride):
            super().__init__()
            mid = cin * expand
            layers = [] if expand == 1 else [conv(cin, mid, 1), nn.ReLU6()]
            layers += [conv(mid, mid, 3, stride, groups=mid), nn.ReLU6(), conv(mid, cout, 1)]
            self.body = nn.Sequential(*layers)
            self.residual = stride == 1 and cin == cout
            with torch.no_grad():
                self.body[-1].weight.mul_(0.3)

        def forward(self, x):
            y = self.body(x)
            return x + y if self.residual else y

    class MobileNet(nn.Module):
        def __init__(self):
            super().__init__()
            blocks, cin = [conv(3, 32, 3, 2), nn.ReLU6()], 32
            for t, c, n, s in MOBILENET_BLOCKS:
                for i in range(n):
                    blocks.append(InvertedResidual(cin, c, t, s if i == 0 else 1))
                    cin = c
            blocks += [conv(cin, 1280, 1), nn.ReLU6()]
            self.features = nn.Sequential(*blocks)
            self.head = nn.Parameter(torch.randn(1280, 1000) / np.sqrt(1280))
            self.head_bias = nn.Parameter(torch.zeros(1000))

        def forward(self, x):
            z = self.features(x).mean((2, 3))
            return z @ self.head + self.head_bias          # a MatMul with a constant weight

    class Bottleneck(nn.Module):
        def __init__(self, cin, width, stride):
            super().__init__()
            cout = 4 * width
            self.body = nn.Sequential(conv(cin, width, 1), nn.ReLU(), conv(width, width, 3, stride),
                                      nn.ReLU(), conv(width, cout, 1))
            self.short = None if stride == 1 and cin == cout else conv(cin, cout, 1, stride)
            with torch.no_grad():
                self.body[-1].weight.mul_(0.2)

        def forward(self, x):
            return torch.relu(self.body(x) + (x if self.short is None else self.short(x)))

    class ResNet50(nn.Module):
        def __init__(self):
            super().__init__()
            blocks, cin = [conv(3, 64, 7, 2), nn.ReLU(), nn.MaxPool2d(3, 2, 1)], 64
            for width, n, s in RESNET50_BLOCKS:
                for i in range(n):
                    blocks.append(Bottleneck(cin, width, s if i == 0 else 1))
                    cin = 4 * width
            self.features = nn.Sequential(*blocks)
            self.fc = nn.Linear(cin, 1000)

        def forward(self, x):
            return self.fc(torch.flatten(nn.functional.adaptive_avg_pool2d(self.features(x), 1), 1))

    return {"mobilenet": MobileNet, "resnet50": ResNet50}


def export_net(name: str, path: str, seed: int = 0) -> str:
    """Export network ``name`` (input "image" (1, 3, 224, 224), output "logits") to ``path``."""
    import torch

    if os.path.exists(path):
        return path
    torch.manual_seed(seed)
    net = _torch_nets()[name]().eval()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with torch.no_grad():
        torch.onnx.export(net, (torch.zeros(1, 3, 224, 224),), path, input_names=["image"],
                          output_names=["logits"], opset_version=17, dynamo=False)
    return path


def image_samples(n: int, seed: int = 1, size: int = 224) -> list:
    """``n`` captcha images as (1, 3, size, size) float32 in [-1, 1]."""
    from PIL import Image

    import models

    _, imgs = models.captcha_images(n, seed=seed)
    out = []
    for im in imgs:
        a = np.asarray(im.convert("RGB").resize((size, size), Image.BILINEAR), dtype=np.float32)
        out.append([(a.transpose(2, 0, 1)[None] / 127.5 - 1.0).astype(np.float32)])
    return out
