"""Build the benchmark-only extensions into a folder outside the package.

Usage: python bench/build_peer.py OUTDIR

- twins_cython: bench/twins.py compiled by Cython 3, the compiled peer that
  bench/run.py and bench/callgrind.py measure beside the native module and
  the plain-Python twins. It is built from a copy of twins.py under another
  module name, so the plain module and the compiled one can be loaded side
  by side, and the source is the same text byte for byte.
- callgrind_marks: the client requests (zero, dump) with which
  bench/callgrind.py brackets each measured loop.

Nothing here is part of the wheel: the output goes to OUTDIR (build/...),
which bench/run.py and bench/callgrind.py put on sys.path themselves.
"""

import os
import shutil
import sys
import tempfile

from Cython.Build import cythonize
from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))

# Annotations stay annotations: with annotation typing on, Cython would test
# `data: dict`, `MD5: bool` and the like itself, refusing values (MD5=1, a
# dict subclass) that the native module and the twins accept. The compiled
# peer must do the same work as the twins, so it runs their own tests.
DIRECTIVES = {"language_level": 3, "annotation_typing": False}


def main(out):
    out = os.path.abspath(out)
    src = os.path.join(out, "src")
    os.makedirs(src, exist_ok=True)
    # copy2 keeps the sources' times, so an unchanged tree is not compiled again.
    shutil.copy2(os.path.join(HERE, "twins.py"), os.path.join(src, "twins_cython.py"))
    shutil.copy2(os.path.join(HERE, "callgrind_marks.pyx"), os.path.join(src, "callgrind_marks.pyx"))
    extensions = cythonize(
        [
            Extension("twins_cython", [os.path.join(src, "twins_cython.py")]),
            Extension("callgrind_marks", [os.path.join(src, "callgrind_marks.pyx")]),
        ],
        compiler_directives=DIRECTIVES,
        build_dir=os.path.join(out, "c"),
        quiet=True,
    )
    with tempfile.TemporaryDirectory(dir=out) as temp:
        # setuptools reads the pyproject.toml of the working directory. The
        # project's is not this build's, and the setuptools a venv starts with
        # refuses its SPDX license string, so the build runs from the empty
        # temporary folder.
        cwd = os.getcwd()
        os.chdir(temp)
        try:
            setup(
                name="pelun-bench-peer",
                ext_modules=extensions,
                script_args=["-q", "build_ext", "--build-lib", out, "--build-temp", temp],
            )
        finally:
            os.chdir(cwd)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    main(sys.argv[1])
