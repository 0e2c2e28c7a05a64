"""Toolkit layer of mivra: the model object (`ir.IR`), inference sessions
(`session.Session`), calibration-data loading (`mivra_utils`) and
quantization-range helpers (`quant_utils`).

The native quantizer lives in the extension module `mivra.api.gdq_quant`; it
is imported explicitly by its users, never from here.
"""
