"""Errors with a message meant for the person running the command."""


class DatasetError(Exception):
    """A dataset cannot be written or read as asked; the message says why.

    Examples
    --------
    >>> import telvora_datasets as td
    >>> try:
    ...     next(td.load("/nonexistent/dataset"))
    ... except td.DatasetError as error:
    ...     print(type(error).__name__)
    DatasetError
    """


class MissingExtraError(DatasetError, ImportError):
    """An optional dependency is not installed; the message names the extra to install.

    It is both a DatasetError and an ImportError, so either catches it.
    """
