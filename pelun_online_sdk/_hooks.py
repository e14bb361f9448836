"""The private attributes of the libraries that the package's glue reaches, found once when it loads.

A library's next release may rename or drop what it does not publish. Each
glue module names here, when it is imported, what it reaches: a missing one
fails the load of ``pelun_online_sdk.client`` with one error naming the
library and its release, rather than a session failing, or silently doing
less, at its first request.
"""

import importlib.metadata
from types import ModuleType
from typing import Any, Iterable, Mapping

__all__ = ["require"]


def _release(library: ModuleType) -> str:
    version = getattr(library, "__version__", None)
    if isinstance(version, str):
        return version
    try:
        return importlib.metadata.version(library.__name__)
    except importlib.metadata.PackageNotFoundError:
        return "(release unknown)"


def _set_by_constructor(cls: type, name: str) -> bool:
    """Whether a constructor of ``cls``, its own or inherited, names ``name``: an
    attribute it gives its instances, or a key it stores (no instance exists yet
    to look at)."""
    for klass in cls.__mro__:
        code = getattr(vars(klass).get("__init__"), "__code__", None)
        if code is not None and (name in code.co_names or name in code.co_consts):
            return True
    return False


def _has(owner: Any, name: str) -> bool:
    return hasattr(owner, name) or (isinstance(owner, type) and _set_by_constructor(owner, name))


def require(library: ModuleType, hooks: Mapping[Any, Iterable[str]]) -> None:
    """Raises ImportError naming ``library``'s installed release unless each owner
    in ``hooks`` (a module or a class of it) has every name listed for it."""
    missing = [f"{getattr(owner, '__qualname__', owner.__name__)}.{name}"
               for owner, names in hooks.items() for name in names if not _has(owner, name)]
    if missing:
        raise ImportError(
            f"pelun_online_sdk.client cannot use {library.__name__} {_release(library)}: it has no "
            f"{', '.join(missing)}, which the module's sessions rely on; install a release of "
            f"{library.__name__} within the range pelun_online_sdk requires")
