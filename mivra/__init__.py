"""mivra: post-training low-bit weight quantization of ONNX models."""
