"""Runs every benchmark of the solver with its default settings."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

for script in ("bench_gptq.py", "bench_layer.py"):
    print(f"== {script}", flush=True)
    subprocess.run([sys.executable, os.path.join(HERE, script)] + sys.argv[1:], check=True)
