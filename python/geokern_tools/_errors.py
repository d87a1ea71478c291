"""Errors of the `geokern` command: bad data and bad usage."""
from __future__ import annotations


class DataError(Exception):
    """Input that cannot be converted; the message names the file and the line
    (or row).  The command reports it in one line and exits with status 1."""


class UsageError(Exception):
    """Arguments that do not fit together; the command exits with status 2."""
