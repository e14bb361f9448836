"""TLS origins whose certificates a client must refuse, beside the test CA's good one.

Each presents one fault: a certificate for another host, one from a CA the
client does not trust, one that has expired, and one that names its host
only in the common name (no subjectAltName), signed by the trusted CA.
"""

from __future__ import annotations

import datetime
import ipaddress
import os
import ssl

import trustme
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

from servers.certs import TlsCA
from servers.origin import RecordingOrigin

FAULTS = ("wrong_host", "untrusted", "expired", "cn_only")


def issued_pems(ca: trustme.CA, common_name: str, *, alt_names: tuple[str, ...] = (),
                 valid_from: datetime.datetime | None = None,
                 valid_until: datetime.datetime | None = None) -> tuple[bytes, bytes]:
    """A leaf certificate issued by ``ca`` and its key, as PEM: the chain (leaf, CA) and the key.

    Made here because trustme before 1.2 (the newest on Python 3.8) neither
    sets dates nor leaves out the subjectAltName. It carries both key
    identifiers: Python 3.13 and newer verify strictly, and would refuse a
    leaf without its Authority Key Identifier before looking at anything else.
    """
    ca_cert = x509.load_pem_x509_certificate(ca.cert_pem.bytes())
    ca_key = serialization.load_pem_private_key(ca.private_key_pem.bytes(), password=None)
    key = ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)]))
        .issuer_name(ca_cert.subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(valid_from or now - datetime.timedelta(days=1))
        .not_valid_after(valid_until or now + datetime.timedelta(days=30))
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()),  # type: ignore[arg-type]
                       critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
    )
    if alt_names:
        names = [x509.IPAddress(ipaddress.ip_address(name)) if name[0].isdigit() else x509.DNSName(name)
                 for name in alt_names]
        builder = builder.add_extension(x509.SubjectAlternativeName(names), critical=False)
    cert = builder.sign(ca_key, hashes.SHA256())  # type: ignore[arg-type]
    key_pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    return cert.public_bytes(serialization.Encoding.PEM) + ca.cert_pem.bytes(), key_pem


def _context(directory: str, name: str, chain: bytes, key: bytes) -> ssl.SSLContext:
    chain_path, key_path = os.path.join(directory, f"{name}.pem"), os.path.join(directory, f"{name}-key.pem")
    with open(chain_path, "wb") as fh:
        fh.write(chain)
    with open(key_path, "wb") as fh:
        fh.write(key)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(chain_path, key_path)
    return context


def _leaf(cert: trustme.LeafCert) -> tuple[bytes, bytes]:
    return b"".join(blob.bytes() for blob in cert.cert_chain_pems), cert.private_key_pem.bytes()


class FaultyOrigins:
    """One recording HTTPS origin per fault; ``url(fault)`` is where to send a request.

    The CN-only origin is reached as ``localhost``, the name its certificate
    holds; the others as 127.0.0.1. ``other_ca_path`` is the bundle that
    does trust the ``untrusted`` origin.
    """

    def __init__(self, tls_ca: TlsCA, directory: str) -> None:
        os.makedirs(directory, exist_ok=True)
        other = trustme.CA()
        self.other_ca_path = os.path.join(directory, "other-ca.pem")
        other.cert_pem.write_to_path(self.other_ca_path)
        past = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
        pems = {
            "wrong_host": _leaf(tls_ca.ca.issue_cert("wrong-host.example")),
            "untrusted": _leaf(other.issue_cert("127.0.0.1", "localhost")),
            "expired": issued_pems(tls_ca.ca, "127.0.0.1", alt_names=("127.0.0.1", "localhost"),
                                    valid_from=past - datetime.timedelta(days=30), valid_until=past),
            "cn_only": issued_pems(tls_ca.ca, "localhost"),
        }
        self.origins = {fault: RecordingOrigin(_context(directory, fault, *pem)) for fault, pem in pems.items()}

    def url(self, fault: str) -> str:
        host = "localhost" if fault == "cn_only" else "127.0.0.1"
        return f"https://{host}:{self.origins[fault].port}/"

    def start(self) -> "FaultyOrigins":
        for origin in self.origins.values():
            origin.start()
        return self

    def stop(self) -> None:
        for origin in self.origins.values():
            origin.stop()

    def reset(self) -> None:
        for origin in self.origins.values():
            origin.reset()
