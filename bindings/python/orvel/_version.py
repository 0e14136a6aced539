# SPDX-License-Identifier: MIT
"""The package's version: pyproject.toml reads it from here."""

__version__ = "1.0.0"
