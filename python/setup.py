"""Builds the package mirvo (mirvo._mirvo and mirvo/*.py) from the module's
and the library's sources, as the CMake build does."""
import os
import re

from pybind11.setup_helpers import Pybind11Extension, build_ext
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
with open(os.path.join(ROOT, "CMakeLists.txt")) as cmake:
    CMAKE = cmake.read()
VERSION = re.search(r"project\(mirvo VERSION ([0-9.]+)", CMAKE).group(1)
# The version header, made from its template as the CMake build makes it.
GENERATED = os.path.join(HERE, "build", "generated")
os.makedirs(os.path.join(GENERATED, "mirvo"), exist_ok=True)
with open(os.path.join(ROOT, "include", "mirvo", "version.h.in")) as template:
    header = template.read()
for key, value in {"PROJECT_VERSION": VERSION, "PROJECT_VERSION_MAJOR": VERSION.split(".")[0],
                   "PROJECT_VERSION_MINOR": VERSION.split(".")[1],
                   "MIRVO_VERSION_DATE": re.search(r'set\(MIRVO_VERSION_DATE "([^"]*)"\)', CMAKE).group(1)}.items():
    header = header.replace("@%s@" % key, value)
with open(os.path.join(GENERATED, "mirvo", "version.h"), "w") as out:
    out.write(header)
# The library's sources as CMakeLists.txt lists them.
LIBRARY = [os.path.join(ROOT, p) for p in
           re.search(r"set\(MIRVO_LIBRARY_SOURCES\s+([^)]*)\)", CMAKE).group(1).split()]

# The library is built on its own, with its private headers; the module sees
# the public ones only, as a program built against an installed MIRVO does.
PUBLIC = [os.path.join(ROOT, "include"), GENERATED]

setup(
    name="mirvo",
    version=VERSION,
    description="MIRVO's vector-quantisation files and conversions",
    packages=["mirvo"],
    package_data={"mirvo": ["__init__.pyi", "py.typed"]},
    libraries=[("mirvo", {"sources": LIBRARY, "include_dirs": PUBLIC + [os.path.join(ROOT, "src")],
                          "cflags": ["-std=c++20", "-O2", "-fPIC"]})],
    ext_modules=[Pybind11Extension(
        "mirvo._mirvo", [os.path.join(HERE, "mirvo_py.cpp")],
        include_dirs=PUBLIC, cxx_std=20, extra_compile_args=["-O2"], extra_link_args=["-pthread"])],
    cmdclass={"build_ext": build_ext},
    python_requires=">=3.8",
    install_requires=["numpy"],
    zip_safe=False,
)
