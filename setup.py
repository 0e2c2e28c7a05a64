"""Build of the native extension mivra.api.gdq_quant against the installed torch."""
import glob
import os

from setuptools import find_packages, setup
from torch.utils.cpp_extension import TORCH_LIB_PATH, BuildExtension, CppExtension

ROOT = os.path.dirname(os.path.abspath(__file__))
SOURCES = sorted(glob.glob("src/gdq_quant/**/*.cpp", recursive=True))

# ccache makes rebuilds of untouched translation units free; ninja makes the
# build incremental.
if os.path.exists("/usr/lib/ccache/g++") and "CXX" not in os.environ:
    os.environ["CXX"] = "/usr/lib/ccache/g++"

setup(
    name="mivra",
    version="0.1.0",
    packages=find_packages(include=["mivra", "mivra.*"]),
    ext_modules=[
        CppExtension(
            "mivra.api.gdq_quant",
            SOURCES,
            include_dirs=[os.path.join(ROOT, "src", "gdq_quant")],
            extra_compile_args=["-std=c++17", "-O2", "-g0", "-fvisibility=hidden", "-Wno-c++20-extensions"],
            # The module loads before torch is imported, so it finds torch's
            # libraries by itself.
            extra_link_args=["-Wl,-rpath," + TORCH_LIB_PATH],
        )
    ],
    cmdclass={"build_ext": BuildExtension.with_options(use_ninja=True)},
    entry_points={"console_scripts": ["mivra-gdq = mivra.cli:main"]},
    python_requires=">=3.10",
)
