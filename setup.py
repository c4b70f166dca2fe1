"""The extensions of ``pip install .``: built by the project's CMake build.

The package's metadata is in pyproject.toml. CMake is configured for the
interpreter that runs this file only (``VELMAR_PYTHONS``), without the
benchmarks, and only the target that builds that interpreter's extensions
is built: no tests. Environment: ``CMAKE_BUILD_PARALLEL_LEVEL`` (parallel
jobs, default: the number of cores), ``VELMAR_CMAKE_ARGS`` (more
configure options, split on spaces).
"""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build import build
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))

# (module name, where the CMake build puts it under its python/ folder)
MODULES = [("velmar_self_play", ""), ("velmar.rules", "velmar")]


class CMakeExtension(Extension):
    def __init__(self, name, subdir):
        super().__init__(name, sources=[])
        self.subdir = subdir


class FreshBuild(build):
    """The copy of the package starts empty, so that a module moved or
    removed since an earlier install is not installed again; the CMake
    build folder is kept, and builds again only what changed."""

    def run(self):
        shutil.rmtree(self.build_lib, ignore_errors=True)
        super().run()


class CMakeBuild(build_ext):
    def run(self):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        configure = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                     "-DVELMAR_PYTHON=ON", "-DVELMAR_BENCH=OFF",
                     "-DVELMAR_PYTHONS=" + sys.executable]
        configure += os.environ.get("VELMAR_CMAKE_ARGS", "").split()
        subprocess.check_call(configure)
        subprocess.check_call(["cmake", "--build", build_dir, "-j", jobs,
                               "--target", "extensions_" + sys.implementation.name])
        suffix = self.get_ext_filename("x")[1:]  # the interpreter's extension suffix
        for ext in self.extensions:
            built = os.path.join(build_dir, "python", ext.subdir,
                                 ext.name.rpartition(".")[2] + suffix)
            target = self.get_ext_fullpath(ext.name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(built, target)


setup(ext_modules=[CMakeExtension(name, subdir) for name, subdir in MODULES],
      cmdclass={"build": FreshBuild, "build_ext": CMakeBuild},
      options={"build": {"build_base": "build-pip"},
               "egg_info": {"egg_base": "build-pip"}})
