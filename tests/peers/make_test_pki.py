#!/usr/bin/python3
"""Makes a throw-away PKI for HTTPS tests in DIRECTORY.

ca.pem                 a test root (the tests trust it explicitly)
good.pem / good.key    issued by the root for 127.0.0.1 and localhost, valid now
wrong-name.pem / .key  issued by the root for other.example only
expired.pem / .key     issued by the root for 127.0.0.1 and localhost, expired a year ago
untrusted.pem / .key   self-signed for 127.0.0.1 and localhost (no trusted issuer)
"""

import datetime
import ipaddress
import sys
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID


def new_key():
    # RSA: the TLS stacks under test (Wine's Schannel included) all take it with TLS 1.2.
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def write(directory, stem, cert, key):
    (directory / (stem + ".pem")).write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    (directory / (stem + ".key")).write_bytes(key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))


def issue(subject, sans, issuer_name, issuer_key, not_before, not_after, ca=False, key=None):
    key = key or new_key()
    builder = (x509.CertificateBuilder()
               .subject_name(name(subject)).issuer_name(issuer_name)
               .public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(not_before).not_valid_after(not_after)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if ca:
        builder = builder.add_extension(x509.KeyUsage(
            digital_signature=True, content_commitment=False, key_encipherment=False,
            data_encipherment=False, key_agreement=False, key_cert_sign=True, crl_sign=True,
            encipher_only=False, decipher_only=False), critical=True)
    else:
        builder = builder.add_extension(x509.SubjectAlternativeName(sans), critical=False)
        builder = builder.add_extension(
            x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
    signing_key = issuer_key or key
    return builder.sign(signing_key, hashes.SHA256()), key


def main():
    directory = Path(sys.argv[1])
    directory.mkdir(parents=True, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc)
    day = datetime.timedelta(days=1)
    local = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]

    ca_key = new_key()
    ca_cert, _ = issue("pelto test root", [], name("pelto test root"), ca_key, now - day, now + 30 * day,
                       ca=True, key=ca_key)
    write(directory, "ca", ca_cert, ca_key)
    root = ca_cert.subject
    for stem, sans, start, end in (("good", local, now - day, now + 30 * day),
                                   ("wrong-name", [x509.DNSName("other.example")], now - day, now + 30 * day),
                                   ("expired", local, now - 400 * day, now - 365 * day)):
        cert, key = issue(stem, sans, root, ca_key, start, end)
        write(directory, stem, cert, key)
    self_key = new_key()
    cert, _ = issue("untrusted", local, name("untrusted"), None, now - day, now + 30 * day, key=self_key)
    write(directory, "untrusted", cert, self_key)


if __name__ == "__main__":
    main()
