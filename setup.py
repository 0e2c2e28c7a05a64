"""Build of the native extension mivra.api.gdq_quant against the installed torch.

Objects live in one persistent folder, build/temp, whoever asks for the build
(`pip install --no-build-isolation -e .` or `setup.py build_ext --inplace`), so
ninja recompiles only the translation units whose sources changed.
"""
import glob
import os
import shutil

from setuptools import find_packages, setup
from torch.utils.cpp_extension import TORCH_LIB_PATH, BuildExtension, CppExtension

ROOT = os.path.dirname(os.path.abspath(__file__))
SOURCES = sorted(glob.glob("src/gdq_quant/**/*.cpp", recursive=True))

if "CXX" not in os.environ and shutil.which("ccache"):
    os.environ["CXX"] = "ccache g++"


class PersistentBuildExt(BuildExtension.with_options(use_ninja=True)):
    """Ninja's state and the object files survive between builds."""

    def finalize_options(self):
        super().finalize_options()
        self.build_temp = os.path.join(ROOT, "build", "temp")


setup(
    packages=find_packages(include=["mivra", "mivra.*"]),
    ext_modules=[
        CppExtension(
            "mivra.api.gdq_quant",
            SOURCES,
            include_dirs=[os.path.join(ROOT, "src", "gdq_quant")],
            # Element loops vectorise (a dynamic cost model, not -O2's very
            # cheap one) and round every operation as the tensor library's
            # separate operations do (no contraction into fused multiply-adds).
            # at::parallel_for is inline over OpenMP in torch's CPU builds:
            # without -fopenmp its loops would run on one thread.
            extra_compile_args=["-std=c++17", "-O2", "-fvect-cost-model=dynamic",
                                "-ffp-contract=off", "-g0", "-fvisibility=hidden",
                                "-Wno-c++20-extensions", "-fopenmp"],
            # The module loads before torch is imported, so it finds torch's
            # libraries (its OpenMP runtime among them) by itself.
            extra_link_args=["-Wl,-rpath," + TORCH_LIB_PATH, "-fopenmp"],
        )
    ],
    cmdclass={"build_ext": PersistentBuildExt},
)
