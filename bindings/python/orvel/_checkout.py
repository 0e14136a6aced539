# SPDX-License-Identifier: MIT
"""The folder where a liborvel checkout's own build puts the library.

A package that sits in a checkout (bindings/python, run in place or
installed from there) looks there, so the README's build needs no setting.
Kept free of the package's other modules: the build reads it on its own.
"""

from __future__ import annotations

import os
from typing import Optional

# The folder of the README's build (cmake --preset release), in the checkout.
BUILD_DIR = os.path.join("build", "release")


def checkout_root(binding_dir: str) -> Optional[str]:
    """The checkout's top folder when binding_dir is its bindings/<language>, else None."""
    binding_dir = os.path.realpath(binding_dir)
    bindings = os.path.dirname(binding_dir)
    root = os.path.dirname(bindings)
    if os.path.basename(bindings) != "bindings" or not os.path.isfile(os.path.join(root, "include", "orvel.h")):
        return None
    return root


def checkout_library_dir(binding_dir: str) -> Optional[str]:
    """The checkout's build folder when binding_dir is a checkout's bindings/<language>, else None."""
    root = checkout_root(binding_dir)
    return None if root is None else os.path.join(root, BUILD_DIR)
