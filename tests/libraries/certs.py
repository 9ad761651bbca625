"""Certificates for the TLS tests: CPython's own test certificates.

SERVER (allsans.pem) holds a server certificate and its key; among its names
are localhost and the address 127.0.0.1, where the test servers listen. CA
(pycacert.pem) is the authority that signed it, which no system trusts.
"""

from __future__ import annotations

import os
import ssl
import sysconfig

import pytest

CERTDATA = os.path.join(sysconfig.get_path("stdlib"), "test", "certdata")
SERVER = os.path.join(CERTDATA, "allsans.pem")
CA = os.path.join(CERTDATA, "pycacert.pem")

# Runs a test twice, over plain TCP (tls=False) and over TLS (tls=True).
over_tls = pytest.mark.parametrize("tls", [False, True], ids=["tcp", "tls"])


def _skip_unless_present() -> None:
    if not all(os.path.exists(path) for path in (SERVER, CA)):
        pytest.skip(f"CPython's test certificates are not in {CERTDATA} (Debian: libpython3.14-testsuite)")


def server_file() -> str:
    """SERVER, once it is known to be there (else the test is skipped)."""
    _skip_unless_present()
    return SERVER


def server_context() -> ssl.SSLContext:
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(server_file())
    return context


def client_context(trust_ca: bool = True) -> ssl.SSLContext:
    """Verifies the server's certificate and name: against CA, or, without
    trust_ca, against no authority at all, so that every server is refused."""
    _skip_unless_present()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)  # CERT_REQUIRED, check_hostname
    if trust_ca:
        context.load_verify_locations(CA)
    return context


def verify(tls: bool) -> ssl.SSLContext | bool:
    """A client's verification setting (httpx's verify=, aiohttp's ssl=):
    over TLS, the test CA and nothing else; otherwise the library's default."""
    return client_context() if tls else True
