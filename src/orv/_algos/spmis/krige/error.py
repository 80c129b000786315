"""Exceptions of the kriging package.

``ORVError`` is the base class. ``SpmisError`` reports an unsupported value (a model name,
a coordinate-system type) together with the accepted choices, ``ParameterError`` the
parameters that are missing together with the required ones. Both are built from keyword
arguments only, keep them as the attributes ``errors`` and ``all_sels``, and survive
pickling and copying.
"""


def _listing(values):
    """The items of `values` (the keys, for a dict) as a comma-separated list of reprs.

    A string or any object that cannot be iterated counts as one item, so that building
    the message never fails on an unusual argument.
    """
    if isinstance(values, (str, bytes)):
        return repr(values)
    try:
        return ", ".join(map(repr, values))
    except TypeError:
        return repr(values)


def _rebuild(cls, errors, all_sels):
    return cls(errors=errors, all_sels=all_sels)


class ORVError(Exception):
    """Base class of the package's errors; carries one message, kept as `message`."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class _SelectionError(ORVError):
    """An error about a value `errors` judged against the accepted values `all_sels`."""

    def __init__(self, *, errors, all_sels=None):
        self.errors = errors
        self.all_sels = all_sels
        super().__init__(self._describe())

    def _describe(self):
        raise NotImplementedError

    def __reduce__(self):
        # The default reduction would call the class with the message as a positional
        # argument, which the keyword-only constructor refuses.
        return _rebuild, (type(self), self.errors, self.all_sels), self.__dict__


class SpmisError(_SelectionError):
    """An unsupported value: `errors` is the value, `all_sels` the accepted choices, if known.

    `all_sels` may be a dict (its keys are the choices), any other iterable, or None.
    """

    def _describe(self):
        message = f"Unsupported value {self.errors!r}."
        if self.all_sels is not None:
            message += f" Choose one of: {_listing(self.all_sels)}."
        return message


class ParameterError(_SelectionError):
    """Missing parameters: `errors` lists the missing names, `all_sels` the required ones."""

    def __init__(self, *, errors, all_sels):
        super().__init__(errors=errors, all_sels=all_sels)

    def _describe(self):
        return (
            f"Missing parameter(s): {_listing(self.errors)}. "
            f"Required: {_listing(self.all_sels)}."
        )
