# SPDX-License-Identifier: MIT
"""The folder of the library this package was installed with, or None.

cmake --install replaces this file in the copy it installs under
PREFIX/share/orvel/python, so a pip install of that copy finds its library;
a pip install from a checkout writes the checkout's build folder here.
"""

from typing import Optional

LIBRARY_DIR: Optional[str] = None
