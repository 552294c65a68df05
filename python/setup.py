"""Builds the package mirvo (mirvo._mirvo and mirvo/*.py) from the module's
and the library's sources, as the CMake build does."""
import glob
import os
import re

from pybind11.setup_helpers import Pybind11Extension, build_ext
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
with open(os.path.join(ROOT, "CMakeLists.txt")) as cmake:
    VERSION = re.search(r"project\(mirvo VERSION ([0-9.]+)", cmake.read()).group(1)
LIBRARY = sorted(glob.glob(os.path.join(ROOT, "src", "modules", "**", "*.cpp"), recursive=True))

setup(
    name="mirvo",
    version=VERSION,
    description="MIRVO's vector-quantisation files and conversions",
    packages=["mirvo"],
    package_data={"mirvo": ["__init__.pyi", "py.typed"]},
    ext_modules=[Pybind11Extension(
        "mirvo._mirvo", [os.path.join(HERE, "mirvo_py.cpp")] + LIBRARY,
        include_dirs=[os.path.join(ROOT, "src", "modules")],
        define_macros=[("MIRVO_VERSION", '"%s"' % VERSION)],
        cxx_std=20, extra_compile_args=["-O2"], extra_link_args=["-pthread"])],
    cmdclass={"build_ext": build_ext},
    python_requires=">=3.8",
    install_requires=["numpy"],
    zip_safe=False,
)
