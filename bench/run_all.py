"""Runs every benchmark with its default settings (an hour or more on 2 cores).

    python3 bench/run_all.py            # all
    python3 bench/run_all.py gptq layer # a selection, by name
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BENCHES = ["group_closed_form", "shrink_search", "gptq", "layer", "threads", "model", "quality",
           "whole_model", "grouped", "encoder", "activations", "options"]

chosen = sys.argv[1:] or BENCHES
for name in chosen:
    print(f"== bench_{name}.py", flush=True)
    subprocess.run([sys.executable, os.path.join(HERE, f"bench_{name}.py")], check=True)
