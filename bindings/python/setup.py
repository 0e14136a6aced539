# SPDX-License-Identifier: MIT
"""The package's build (the metadata is in pyproject.toml).

Installed from a checkout, the package records the folder of the checkout's
own build of the library, as cmake --install records the installed one, so
`pip install bindings/python` after the README's build needs no setting.
"""

import importlib.util
import os

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))


def checkout():
    location = importlib.util.spec_from_file_location("orvel_checkout", os.path.join(HERE, "orvel", "_checkout.py"))
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


class BuildPy(build_py):
    def run(self):
        super().run()
        root = checkout().checkout_root(HERE)
        if root is None:
            return
        folder = checkout().checkout_library_dir(HERE)
        # The same record, from the same template, as cmake --install writes.
        template = os.path.join(root, "cmake", "python_installed.py.in")
        with open(template, encoding="utf-8") as f:
            text = f.read()
        literal = folder.replace("\\", "\\\\").replace('"', '\\"')
        with open(os.path.join(self.build_lib, "orvel", "_installed.py"), "w", encoding="utf-8") as f:
            f.write(text.replace("@LIBRARY_DIR_LITERAL@", literal))


setup(cmdclass={"build_py": BuildPy})
