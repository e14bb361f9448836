"""Every operation once on its success and error paths, for memory checkers
(`make memcheck` runs it under valgrind): short, no servers, no threads."""
import asyncio
import gc

import pelun_online_sdk.client as client
from pelun_online_sdk.proxy import Proxy


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error.__name__}")


def main():
    Client, TypeReq = client.Client, client.Client.TypeReq
    form = {"n": 5, "f": 1.5, "l": [1, 2], "d": {"k": 1}, "s": "x", "b": b"y"}
    client._requests.create_urlencode(dict(form))
    client._requests.create_boundary(dict(form), "p", 10, None, True)
    Client.create_boundary(TypeReq.HTTPX, dict(form))
    Client.create_boundary(7, {})
    client._aiohttp.create_boundary(dict(form), boundary="xyz")
    expect(TypeError, client._requests.create_urlencode)
    expect(TypeError, client._requests.create_urlencode, [1])
    expect(TypeError, client._aiohttp.create_boundary, {}, bogus=1)
    expect(OverflowError, client._requests.create_boundary, {}, None, 2**64)
    expect(TypeError, client._requests.create_boundary, {1: 2})
    expect(TypeError, client._requests.create_urlencode.__call__, **{"data": {}, "x": 1})
    with Client.ClientSession(TypeReq.REQUESTS, {"X-A": "1"}, Proxy("127.0.0.1", 9)):
        pass
    with Client.ClientSession(TypeReq.HTTPX, {"User-Agent": ""}):
        pass
    adapter = client.RequestsAdapter(max_retries=1)
    expect(TypeError, adapter.init_poolmanager, 1, 2, ssl_context=None)
    adapter.close()

    async def aiohttp_session():
        async with Client.ClientSession(TypeReq.AIOHTTP, {}, Proxy("127.0.0.1", 9, scheme="socks5")):
            pass

    asyncio.run(aiohttp_session())
    gc.collect()
    print("smoke ok")


if __name__ == "__main__":
    main()
