# pip install --no-build-isolation .   (Debian: python3-setuptools, python3-pybind11)
#
# Builds the gmmtools package from the same library sources as the CMake
# build, with the project's version taken from CMakeLists.txt.
import re
from pathlib import Path

from pybind11.setup_helpers import Pybind11Extension, build_ext
from setuptools import setup

here = Path(__file__).parent
version = re.search(r"project\(gmmtools VERSION (\S+)", (here / "CMakeLists.txt").read_text()).group(1)
library = sorted(str(p.relative_to(here)) for d in ("numbers", "model_io", "supervectors") for p in (here / d).glob("*.cpp"))

setup(
    name="gmmtools",
    version=version,
    description="Gaussian mixture model files as numpy arrays: models, lists and mean supervectors",
    packages=["gmmtools"],
    package_dir={"": "python"},
    package_data={"gmmtools": ["py.typed", "*.pyi"]},
    ext_modules=[
        Pybind11Extension(
            "gmmtools._gmmtools",
            ["python/module.cpp", *library],
            include_dirs=["numbers", "model_io", "supervectors"],
            define_macros=[("GMM_VERSION", f'"{version}"'), ("NDEBUG", None)],
            # The programs' code generation, in place of the interpreter's
            # own flags (-O2, -fwrapv, -fstack-protector-strong).
            extra_compile_args=["-O3", "-fno-wrapv", "-fno-stack-protector"],
            cxx_std=20,
        )
    ],
    cmdclass={"build_ext": build_ext},
    install_requires=["numpy"],
    zip_safe=False,
    # Build files beside the CMake build, not in the source tree.
    options={"build": {"build_base": "build/pip"}, "egg_info": {"egg_base": "build/pip"}},
)
