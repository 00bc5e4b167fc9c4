"""Old argument names kept for one release: each call that uses one warns
(FutureWarning, which Python shows by default, unlike DeprecationWarning
outside __main__) and runs as if the new name had been given."""

from __future__ import annotations

import functools
import warnings
from collections.abc import Callable


def warn_renamed(where: str, old: str, new: str, *, stacklevel: int = 3) -> None:
    warnings.warn(f"{where}: {old!r} is now called {new!r}; the old name stops working in the next release",
                  FutureWarning, stacklevel=stacklevel)


def renamed_arguments(**new_names: str) -> Callable:
    """A decorator: keyword arguments by an old name (the keys) are passed
    under their new name (the values), with a warning; both at once is a
    TypeError."""

    def decorate(function: Callable) -> Callable:
        @functools.wraps(function)
        def call(*args, **kwargs):
            for old, new in new_names.items():
                if old in kwargs:
                    if new in kwargs:
                        raise TypeError(f"{function.__qualname__}() got {old!r} and its new name {new!r}: "
                                        f"give only {new!r}")
                    warn_renamed(f"{function.__qualname__}()", old, new)
                    kwargs[new] = kwargs.pop(old)
            return function(*args, **kwargs)

        return call

    return decorate
