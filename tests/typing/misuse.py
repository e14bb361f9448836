"""A wrong use that both checkers must report; make typecheck fails if they accept it.

``build_request`` is a method of httpx's client; a requests session has none.
"""

from pelun_online_sdk.client import Client

with Client.ClientSession(Client.TypeReq.REQUESTS) as session:
    session.build_request("GET", "https://example.test/")
