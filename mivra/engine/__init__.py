"""The command line's quantization pass: one walk over the model, each layer
solved from its inputs with the native solver (``quant_pass``)."""
