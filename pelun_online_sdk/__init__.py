"""pelun_online_sdk: HTTP clients and request bodies for requests, httpx and aiohttp.

The native module ``pelun_online_sdk.client`` is not imported here: it loads
on its own, so that a failure to load it shows up where it is imported.
"""

from .utils import VERSION_SDK as __version__

__all__ = ["__version__"]
