# SPDX-License-Identifier: MIT
"""The base of the package's text enums."""

from enum import Enum


class TextEnum(str, Enum):
    """A ``str`` enum whose members read as their value in str() and f-strings, on every Python."""

    def __str__(self) -> str:
        return str(self.value)
