"""A throwaway certificate authority and a server certificate for 127.0.0.1."""

from __future__ import annotations

import os
import ssl

import trustme


class TlsCA:
    """A CA made for this test run and a leaf certificate for 127.0.0.1, localhost and ::1.

    ``ca_path`` is the PEM bundle to trust (``verify=ca_path`` for requests and
    httpx); ``client_context()`` is the same trust as an ``ssl.SSLContext`` (aiohttp).
    """

    def __init__(self, directory: str) -> None:
        self.ca = trustme.CA()
        self.cert = self.ca.issue_cert("127.0.0.1", "localhost", "::1")
        os.makedirs(directory, exist_ok=True)
        self.ca_path = os.path.join(directory, "ca.pem")
        self.cert_path = os.path.join(directory, "server-chain.pem")
        self.key_path = os.path.join(directory, "server-key.pem")
        self.ca.cert_pem.write_to_path(self.ca_path)
        # Leaf first, then the CA: what a server must send.
        with open(self.cert_path, "wb") as fh:
            for blob in self.cert.cert_chain_pems:
                fh.write(blob.bytes())
        self.cert.private_key_pem.write_to_path(self.key_path)

    def server_context(self, alpn: list[str] | None = None) -> ssl.SSLContext:
        """A server-side context presenting the leaf certificate."""
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(self.cert_path, self.key_path)
        if alpn:
            ctx.set_alpn_protocols(alpn)
        return ctx

    def client_context(self) -> ssl.SSLContext:
        """A client context that trusts only this CA (hostname checking on)."""
        return ssl.create_default_context(cafile=self.ca_path)
