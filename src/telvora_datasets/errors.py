"""Errors with a message meant for the person running the command."""


class DatasetError(Exception):
    """A dataset cannot be written or read as asked; the message says why."""


class MissingExtraError(DatasetError, ImportError):
    """An optional dependency is not installed; the message names the extra to install."""
