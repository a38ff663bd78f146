#!/usr/bin/env python3
"""A REALITY + VLESS (with and without Vision) server for the client's interop tests.

Written from RFC 8446 (TLS 1.3), FIPS 203 (ML-KEM), the X25519MLKEM768 hybrid group (0x11EC) and
the public descriptions of REALITY, VLESS and the Vision flow; it shares nothing with the C++
client. One process serves several ports, one behaviour each, and prints "ports NAME=PORT ..."
once all listen:

  reality        REALITY handshake (the --suite and --group chosen, Ed25519 certificate whose
                 signature is HMAC-SHA512(auth key, public key), a real CertificateVerify), then
                 VLESS with or without the Vision flow, as the client asks.
  reality_1301, reality_1302, reality_1303
                 the same with that cipher suite, whatever --suite says.
  reality_hybrid, reality_x25519
                 the same with that key exchange group, whatever --group says.
  plain          the same TLS 1.3 server half (--suite and --group apply) with an ordinary
                 self-signed Ed25519 certificate and no REALITY rules or token check, echoing
                 application data (for `openssl s_client`).
  tls            Python's ssl module (TLS 1.2/1.3, the test CA's leaf) serving VLESS (+Vision).
  fallback       the decoy, where every ClientHello that is not REALITY's goes: a real TLS server
                 (Python's ssl, an ECDSA certificate for ecdsa.test) that echoes.
  <misbehaviour> REALITY with one fault (see MISBEHAVIOURS). Among them, for the hybrid era:
                 hello_retry_request       a well-formed HelloRetryRequest (asking for a group the
                                           client listed but sent no share for, else secp256r1)
                                           instead of the ServerHello; the older hello_retry is a
                                           ServerHello with the retry random and a full key share
                 suite_not_offered         the ServerHello names a TLS 1.3 suite the client did not
                                           offer (the first of 1301..1305 missing, else c02f)
                 hybrid_share_short, hybrid_share_long
                                           the hybrid ServerHello share is 1119 or 1121 bytes
                 mlkem_ciphertext_altered  one bit of the ML-KEM ciphertext flipped after the
                                           encapsulation: the client's implicit rejection gives it
                                           another secret, so it cannot open the server's flight
                 The last three always answer with X25519MLKEM768 (handshake_failure without it).
                 suite_1302 names TLS_AES_256_GCM_SHA384 in the ServerHello but protects the
                 flight with the keys of the listener's own suite (no fault with --suite 1302).

Which ClientHello counts as REALITY (--rules):
  current  (servers since September 2026) the key_share holds one X25519MLKEM768 entry of 1216
           bytes (ML-KEM-768 encapsulation key, then an X25519 key) and at most one X25519 entry
           of 32 bytes, which must come after it; GREASE and other groups are ignored. The auth
           key comes from the plain X25519 share, or without one from the X25519 key in the hybrid.
  legacy   (before; also --legacy-x25519) an X25519 entry of 32 bytes is enough. The default.
--group hybrid answers with X25519MLKEM768 (ML-KEM-768 ciphertext, then the server's X25519 key;
the TLS shared secret is the ML-KEM secret followed by the X25519 one), --group x25519 with
X25519 and the client's plain X25519 share; the default is hybrid under current rules and x25519
under legacy ones. --suite 1301|1302|1303 (default 1301) picks the cipher suite.
A hello that fails the rules, offers no TLS 1.3, cannot be parsed or carries no valid token is
relayed to the decoy untouched. A REALITY client that offers none of what the listener must
use (its suite, or the share for its group) gets a fatal handshake_failure alert, as a TLS
server does once it has taken a connection on; an encapsulation key that fails ML-KEM's modulus
check gets illegal_parameter.

The Vision side mirrors the flow's public description: frames until the inner TLS handshake
is over, then command 2 and the raw socket in each direction.
"""
import argparse
import hashlib
import hmac
import os
import socket
import ssl
import struct
import sys
import threading
import time
import datetime

from cryptography import x509
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, x25519
from cryptography.hazmat.primitives.ciphers.aead import AESGCM, ChaCha20Poly1305
from cryptography.x509.oid import NameOID

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mlkem768  # noqa: E402  (beside this file)

MISBEHAVIOURS = [
    'bad_cert_hmac', 'ecdsa_cert', 'no_certificate', 'finished_short', 'finished_long', 'finished_mac',
    'suite_1302', 'hello_retry', 'split_server_hello', 'record_too_long', 'record_too_short',
    'plaintext_after_handshake', 'alert_mid_stream', 'truncated_handshake', 'low_order_share',
    'key_update', 'close_after_data', 'handshake_after_finished', 'wrong_short_id',
    'oversized_message', 'server_hello_with_more', 'ccs_after_handshake', 'no_key_share',
    'hello_retry_request', 'suite_not_offered', 'hybrid_share_short', 'hybrid_share_long',
    'mlkem_ciphertext_altered',
]

# Faults in the server's flight after which a client must send nothing more (an alert aside).
HANDSHAKE_FAULTS = {
    'bad_cert_hmac', 'ecdsa_cert', 'no_certificate', 'finished_short', 'finished_long', 'finished_mac',
    'suite_1302', 'hello_retry', 'split_server_hello', 'low_order_share', 'handshake_after_finished',
    'server_hello_with_more', 'no_key_share', 'hello_retry_request', 'suite_not_offered',
    'hybrid_share_short', 'hybrid_share_long', 'mlkem_ciphertext_altered',
}

# Faults that only exist in the hybrid group: their listeners always answer with it.
HYBRID_FAULTS = {'hybrid_share_short', 'hybrid_share_long', 'mlkem_ciphertext_altered'}

VISION_FLOW = b'xtls-rprx-vision'
HRR_RANDOM = hashlib.sha256(b'HelloRetryRequest').digest()

GROUP_X25519 = 0x001D
GROUP_SECP256R1 = 0x0017
GROUP_X25519MLKEM768 = 0x11EC
HYBRID_CLIENT_SHARE = mlkem768.EK_SIZE + 32           # 1216
HYBRID_SERVER_SHARE = mlkem768.CIPHERTEXT_SIZE + 32   # 1120
GROUP_IDS = {'hybrid': GROUP_X25519MLKEM768, 'x25519': GROUP_X25519}

ALERT_HANDSHAKE_FAILURE = 40
ALERT_ILLEGAL_PARAMETER = 47


def log(*parts):
    print('reality_peer:', *parts, file=sys.stderr, flush=True)


def is_grease(value):
    return (value & 0x0F0F) == 0x0A0A and (value >> 8) == (value & 0xFF)


# ---------------------------------------------------------------------------------------------
# HKDF-SHA256 for the REALITY auth key (whatever the TLS suite)

def hkdf_extract(salt, ikm):
    return hmac.new(salt or bytes(32), ikm, hashlib.sha256).digest()


def hkdf_expand(prk, info, length):
    out, block, counter = b'', b'', 1
    while len(out) < length:
        block = hmac.new(prk, block + info + bytes([counter]), hashlib.sha256).digest()
        out += block
        counter += 1
    return out[:length]


# ---------------------------------------------------------------------------------------------
# Cipher suites and the RFC 8446 key schedule over the suite's hash

class Suite:
    def __init__(self, code, name, hash_function, key_length, aead):
        self.code = code
        self.name = name
        self.hash = hash_function
        self.hash_length = hash_function().digest_size
        self.key_length = key_length
        self.aead = aead


SUITES = {
    0x1301: Suite(0x1301, 'TLS_AES_128_GCM_SHA256', hashlib.sha256, 16, AESGCM),
    0x1302: Suite(0x1302, 'TLS_AES_256_GCM_SHA384', hashlib.sha384, 32, AESGCM),
    0x1303: Suite(0x1303, 'TLS_CHACHA20_POLY1305_SHA256', hashlib.sha256, 32, ChaCha20Poly1305),
}


class KeySchedule:
    """Extract, expand and derive by RFC 8446 label with one suite's hash."""

    def __init__(self, suite):
        self.suite = suite
        self.length = suite.hash_length

    def extract(self, salt, ikm):
        return hmac.new(salt, ikm, self.suite.hash).digest()

    def expand(self, prk, info, length):
        out, block, counter = b'', b'', 1
        while len(out) < length:
            block = hmac.new(prk, block + info + bytes([counter]), self.suite.hash).digest()
            out += block
            counter += 1
        return out[:length]

    def expand_label(self, secret, label, context, length):
        full = b'tls13 ' + label
        info = struct.pack('>H', length) + bytes([len(full)]) + full + bytes([len(context)]) + context
        return self.expand(secret, info, length)

    def transcript_hash(self, transcript):
        return self.suite.hash(transcript).digest()

    def derive_secret(self, secret, label, transcript):
        return self.expand_label(secret, label, self.transcript_hash(transcript), self.length)

    def handshake_secret(self, shared):
        early = self.extract(bytes(self.length), bytes(self.length))
        return self.extract(self.derive_secret(early, b'derived', b''), shared)

    def master_secret(self, handshake_secret):
        return self.extract(self.derive_secret(handshake_secret, b'derived', b''), bytes(self.length))

    def finished(self, base_key, transcript):
        key = self.expand_label(base_key, b'finished', b'', self.length)
        return hmac.new(key, self.transcript_hash(transcript), self.suite.hash).digest()


class Protection:
    """One direction of TLS 1.3 record protection."""

    def __init__(self, schedule, secret):
        self.schedule = schedule
        self.install(secret)

    def install(self, secret):
        schedule = self.schedule
        self.secret = secret
        self.aead = schedule.suite.aead(schedule.expand_label(secret, b'key', b'', schedule.suite.key_length))
        self.iv = schedule.expand_label(secret, b'iv', b'', 12)
        self.seq = 0

    def update(self):
        self.install(self.schedule.expand_label(self.secret, b'traffic upd', b'', self.schedule.length))

    def nonce(self):
        n = bytearray(self.iv)
        for i, b in enumerate(struct.pack('>Q', self.seq)):
            n[4 + i] ^= b
        self.seq += 1
        return bytes(n)

    def seal(self, inner_type, content, padding=0):
        inner = content + bytes([inner_type]) + bytes(padding)
        header = struct.pack('>BHH', 23, 0x0303, len(inner) + 16)
        return header + self.aead.encrypt(self.nonce(), inner, header)

    def open(self, header, body):
        inner = self.aead.decrypt(self.nonce(), body, header)
        stripped = inner.rstrip(b'\0')
        if not stripped:
            raise ValueError('record without a content type')
        return stripped[-1], stripped[:-1]


class Closed(Exception):
    pass


class Refusal(Exception):
    """The handshake ends with a fatal alert in the clear."""

    def __init__(self, alert, text):
        super().__init__(text)
        self.alert = alert


class Conn:
    """A socket with a receive buffer, for record-level reading."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b''

    def need(self, n):
        while len(self.buffer) < n:
            data = self.sock.recv(65536)
            if not data:
                raise Closed()
            self.buffer += data

    def take(self, n):
        self.need(n)
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def record(self):
        header = self.take(5)
        length = struct.unpack('>H', header[3:5])[0]
        return header, self.take(length)


def handshake_message(kind, body):
    return bytes([kind]) + len(body).to_bytes(3, 'big') + body


def extension(kind, body):
    return struct.pack('>HH', kind, len(body)) + body


def plaintext_alert(description):
    return struct.pack('>BHHBB', 21, 0x0303, 2, 2, description)


# ---------------------------------------------------------------------------------------------
# The ClientHello

class Reader:
    """Bounds-checked reads; a read past the end raises ValueError and consumes nothing."""

    def __init__(self, data, start=0, end=None):
        self.data = data
        self.pos = start
        self.end = len(data) if end is None else end

    def left(self):
        return self.end - self.pos

    def take(self, n):
        if n > self.left():
            raise ValueError('truncated: %d bytes wanted, %d left' % (n, self.left()))
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def uint(self, size):
        return int.from_bytes(self.take(size), 'big')

    def child(self, prefix_size):
        """A reader over the next length-prefixed block, which this one skips."""
        start = self.pos
        n = self.uint(prefix_size)
        if n > self.left():
            self.pos = start
            raise ValueError('a block of %d bytes runs past its parent' % n)
        child = Reader(self.data, self.pos, self.pos + n)
        self.pos += n
        return child

    def rest(self):
        return self.take(self.left())

    def finish(self, what):
        if self.left():
            raise ValueError('%s has %d bytes too many' % (what, self.left()))


def read_client_hello(conn):
    """(the bytes read, the ClientHello message or None, why not) from the first handshake
    records; at most 64 KiB of hello."""
    raw, message = b'', b''
    while len(message) < 4 or len(message) < 4 + int.from_bytes(message[1:4], 'big'):
        header, body = conn.record()
        raw += header + body
        if header[0] != 22:
            return raw, None, 'a record of type %d where the ClientHello belongs' % header[0]
        message += body
        if len(message) > 65536 + 4:
            return raw, None, 'ClientHello too long'
    if len(message) != 4 + int.from_bytes(message[1:4], 'big'):
        return raw, None, 'more than the ClientHello in its records'
    return raw, message, None


class ClientHello:
    """The fields of a ClientHello the peer looks at; ValueError for a malformed one."""

    def __init__(self, message):
        self.message = message
        r = Reader(message)
        if r.uint(1) != 1:
            raise ValueError('not a ClientHello')
        body = r.child(3)
        r.finish('the ClientHello message')
        body.take(2)  # legacy_version
        self.random = body.take(32)
        self.sid_offset = body.pos + 1
        self.session_id = body.child(1).rest()
        suites = body.child(2)
        self.suites = []
        while suites.left():
            self.suites.append(suites.uint(2))
        body.child(1)  # compression methods
        extensions = body.child(2)
        body.finish('the ClientHello')
        self.key_shares, self.groups, self.versions, self.server_name = [], [], [], None
        while extensions.left():
            kind = extensions.uint(2)
            data = extensions.child(2)
            if kind == 0x33:
                shares = data.child(2)
                data.finish('key_share')
                while shares.left():
                    group = shares.uint(2)
                    self.key_shares.append((group, shares.child(2).rest()))
            elif kind == 0x0A:
                groups = data.child(2)
                while groups.left():
                    self.groups.append(groups.uint(2))
            elif kind == 0x2B:
                versions = data.child(1)
                while versions.left():
                    self.versions.append(versions.uint(2))
            elif kind == 0:
                names = data.child(2)
                names.take(1)  # host_name
                self.server_name = names.child(2).rest()
        if 0x0304 not in self.versions:
            raise ValueError('no TLS 1.3 offered')

    def describe(self):
        shares = ' '.join('%04x(%d)' % (g, len(k)) for g, k in self.key_shares)
        suites = ' '.join('%04x' % s for s in self.suites if not is_grease(s))
        return 'key shares %s; suites %s' % (shares or 'none', suites)


class OfferedShares:
    """The X25519 and X25519MLKEM768 entries of a key_share, and how they meet the rules."""

    def __init__(self, key_shares):
        named = [(g, k) for g, k in key_shares if not is_grease(g)]
        self.plain = [(i, k) for i, (g, k) in enumerate(named) if g == GROUP_X25519]
        self.hybrids = [(i, k) for i, (g, k) in enumerate(named) if g == GROUP_X25519MLKEM768]
        self.x25519 = next((k for _, k in self.plain if len(k) == 32), None)
        self.hybrid = next((k for _, k in self.hybrids if len(k) == HYBRID_CLIENT_SHARE), None)

    def current_rules_fault(self):
        """None if the shares make a REALITY hello by today's rules, else why not."""
        if not self.hybrids:
            return 'no X25519MLKEM768 share'
        if len(self.hybrids) > 1:
            return 'X25519MLKEM768 share offered twice'
        at, key = self.hybrids[0]
        if len(key) != HYBRID_CLIENT_SHARE:
            return 'X25519MLKEM768 share of %d bytes' % len(key)
        if len(self.plain) > 1:
            return 'X25519 share offered twice'
        if self.plain and self.plain[0][0] < at:
            return 'X25519 share before the X25519MLKEM768 share'
        if self.plain and len(self.plain[0][1]) != 32:
            return 'X25519 share of %d bytes' % len(self.plain[0][1])
        return None

    def legacy_rules_fault(self):
        return None if self.x25519 is not None else 'no X25519 share'

    def auth_share(self):
        """The client X25519 key the REALITY auth key comes from."""
        return self.x25519 if self.x25519 is not None else self.hybrid[mlkem768.EK_SIZE:]


def open_reality_token(private_key, hello, client_share, short_ids):
    """The auth key if the session id holds a token for us, else None (with the reason logged)."""
    if len(hello.session_id) != 32:
        log('session id of %d bytes' % len(hello.session_id))
        return None
    shared = private_key.exchange(x25519.X25519PublicKey.from_public_bytes(client_share))
    auth_key = hkdf_expand(hkdf_extract(hello.random[:20], shared), b'REALITY', 32)
    associated = hello.message[:hello.sid_offset] + bytes(32) + hello.message[hello.sid_offset + 32:]
    try:
        token = AESGCM(auth_key).decrypt(hello.random[20:], hello.session_id, associated)
    except Exception:
        log('token does not open')
        return None
    if token[8:16] not in short_ids:
        log('unknown short id', token[8:16].hex())
        return None
    if abs(int(time.time()) - struct.unpack('>I', token[4:8])[0]) > 120:
        log('token time too far off')
        return None
    return auth_key


# ---------------------------------------------------------------------------------------------
# Certificates

def ed25519_template(common_name):
    key = ed25519.Ed25519PrivateKey.generate()
    now = datetime.datetime.now(datetime.timezone.utc)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .sign(key, None))
    return key, cert.public_bytes(serialization.Encoding.DER)


def ecdsa_certificate():
    key = ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.now(datetime.timezone.utc)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, 'ecdsa.test')])
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .sign(key, hashes.SHA256()))
    return key, cert.public_bytes(serialization.Encoding.DER)


def reality_certificate(key, template, auth_key, damage=False):
    """The template with its 64 signature bytes replaced by HMAC-SHA512(auth key, public key)."""
    public = key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    signature = bytearray(hmac.new(auth_key, public, hashlib.sha512).digest())
    if damage:
        signature[7] ^= 1
    assert template[-67:-64] == b'\x03\x41\x00'
    return template[:-64] + bytes(signature)


# ---------------------------------------------------------------------------------------------
# The TLS 1.3 server half

class Listener:
    """What one port does: its fault, whether it checks REALITY tokens, and any suite or group it
    uses instead of the command line's."""

    def __init__(self, name, fault=None, reality=True, suite=None, group=None):
        self.name = name
        self.fault = fault
        self.reality = reality
        self.suite = suite
        self.group = group


def server_key_share(group, offered, fault):
    """(the ServerHello's key_share bytes, the TLS shared secret) for the group."""
    ours = x25519.X25519PrivateKey.generate()
    our_public = ours.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    if fault == 'low_order_share':
        our_public = bytes(32)
    if group == 'x25519':
        return our_public, ours.exchange(x25519.X25519PublicKey.from_public_bytes(offered.x25519))
    encapsulation_key, client_x25519 = offered.hybrid[:mlkem768.EK_SIZE], offered.hybrid[mlkem768.EK_SIZE:]
    try:
        mlkem_secret, ciphertext = mlkem768.encaps(encapsulation_key)
    except ValueError as error:
        raise Refusal(ALERT_ILLEGAL_PARAMETER, 'ML-KEM encapsulation key refused: %s' % error)
    x25519_secret = ours.exchange(x25519.X25519PublicKey.from_public_bytes(client_x25519))
    if fault == 'mlkem_ciphertext_altered':
        # The client's decapsulation rejects it implicitly: its secret is not ours.
        ciphertext = ciphertext[:500] + bytes([ciphertext[500] ^ 0x04]) + ciphertext[501:]
    share = ciphertext + our_public
    if fault == 'hybrid_share_short':
        share = share[:-1]
    elif fault == 'hybrid_share_long':
        share += b'\x00'
    return share, mlkem_secret + x25519_secret


class TlsServer:
    """Runs the handshake; afterwards send/recv application data and the raw hand-over."""

    def __init__(self, conn, options, listener):
        self.conn = conn
        self.options = options
        self.listener = listener
        self.fault = listener.fault
        self.read = None
        self.write = None
        self.pending = b''

    def send(self, data):
        out = b''
        for i in range(0, max(len(data), 1), 16384):
            out += self.write.seal(23, data[i:i + 16384])
        self.conn.sock.sendall(out)

    def recv(self):
        """Application data of the next non-empty record; b'' at close_notify or alert."""
        while True:
            header, body = self.conn.record()
            if header[0] == 20:
                raise ValueError('ChangeCipherSpec after the handshake')
            if header[0] != 23:
                raise ValueError('unprotected record after the handshake')
            kind, content = self.read.open(header, body)
            if kind == 23:
                if content:
                    return content
            elif kind == 21:
                return b''
            elif kind == 22 and content[:1] == b'\x18':
                self.read.update()
                if content[4] == 1:
                    self.conn.sock.sendall(self.write.seal(22, handshake_message(24, b'\x00')))
                    self.write.update()
            else:
                raise ValueError('unexpected record type %d' % kind)

    def send_raw(self, data):
        self.conn.sock.sendall(data)

    def close_write(self, raw=False):
        try:
            if raw:
                self.conn.sock.shutdown(socket.SHUT_WR)
                return
            self.conn.sock.sendall(self.write.seal(21, b'\x01\x00'))  # close_notify
            self.conn.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def recv_raw(self):
        return self.conn.sock.recv(65536)

    def take_rest(self):
        out, self.conn.buffer = self.conn.buffer, b''
        return out

    # The steps of the handshake, in order.

    def handshake(self, message, reality_key, short_ids):
        """'ok', 'failed', or ('fallback', reason) for a hello that is not REALITY's; raises
        Refusal when the hello is REALITY's but offers nothing this listener can use."""
        reality = reality_key is not None
        try:
            hello = ClientHello(message)
        except ValueError as error:
            if reality:
                return 'fallback', 'ClientHello not taken: %s' % error
            raise
        log(self.listener.name, 'hello:', hello.describe())
        offered = OfferedShares(hello.key_shares)
        auth_key = None
        if reality:
            fault = offered.current_rules_fault() if self.options.rules == 'current' else offered.legacy_rules_fault()
            if fault:
                return 'fallback', '%s (%s rules)' % (fault, self.options.rules)
            auth_key = open_reality_token(reality_key, hello, offered.auth_share(), short_ids)
            if auth_key is None:
                return 'fallback', 'no valid token'
        suite = self.choose_suite(hello)
        group = self.choose_group(offered)
        if self.fault == 'hello_retry_request':
            self.send_hello_retry_request(hello, suite)
            return self.watch_refusal(None)
        schedule = KeySchedule(suite)
        share, shared = server_key_share(group, offered, self.fault)
        transcript = hello.message + self.send_server_hello(hello, suite, group, share)
        handshake_secret = schedule.handshake_secret(shared)
        client_hs = schedule.derive_secret(handshake_secret, b'c hs traffic', transcript)
        server_hs = schedule.derive_secret(handshake_secret, b's hs traffic', transcript)
        transcript, sent = self.send_server_flight(schedule, server_hs, transcript, reality_key, auth_key)
        if not sent:
            return 'failed'
        master = schedule.master_secret(handshake_secret)
        client_ap = schedule.derive_secret(master, b'c ap traffic', transcript)
        server_ap = schedule.derive_secret(master, b's ap traffic', transcript)
        outcome = self.read_client_finished(schedule, client_hs, transcript)
        if outcome != 'ok':
            return outcome
        self.read = Protection(schedule, client_ap)
        self.write = Protection(schedule, server_ap)
        self.send_after_handshake(reality)
        return 'ok'

    def choose_suite(self, hello):
        suite = SUITES[self.listener.suite or self.options.suite]
        if suite.code not in hello.suites and self.fault != 'suite_not_offered':
            raise Refusal(ALERT_HANDSHAKE_FAILURE, 'the client does not offer %s' % suite.name)
        return suite

    def choose_group(self, offered):
        if self.fault in HYBRID_FAULTS:
            group = 'hybrid'
        else:
            group = self.listener.group or self.options.group
        if group == 'hybrid' and offered.hybrid is None:
            raise Refusal(ALERT_HANDSHAKE_FAILURE, 'no X25519MLKEM768 share of %d bytes to answer' % HYBRID_CLIENT_SHARE)
        if group == 'x25519' and offered.x25519 is None:
            raise Refusal(ALERT_HANDSHAKE_FAILURE, 'no X25519 share to answer')
        return group

    def send_hello_retry_request(self, hello, suite):
        """A well-formed HelloRetryRequest asking for a group the client sent no share for."""
        shared_groups = {g for g, _ in hello.key_shares}
        ask = next((g for g in hello.groups if not is_grease(g) and g not in shared_groups), GROUP_SECP256R1)
        extensions = extension(0x2B, struct.pack('>H', 0x0304)) + extension(0x33, struct.pack('>H', ask))
        body = (struct.pack('>H', 0x0303) + HRR_RANDOM + bytes([len(hello.session_id)]) + hello.session_id +
                struct.pack('>HB', suite.code, 0) + struct.pack('>H', len(extensions)) + extensions)
        retry = handshake_message(2, body)
        self.conn.sock.sendall(struct.pack('>BHH', 22, 0x0303, len(retry)) + retry)
        log('sent a HelloRetryRequest for group %04x' % ask)

    def server_hello_suite(self, hello, suite):
        if self.fault == 'suite_1302':
            return 0x1302
        if self.fault == 'suite_not_offered':
            return next((s for s in (0x1301, 0x1302, 0x1303, 0x1304, 0x1305) if s not in hello.suites), 0xC02F)
        return suite.code

    def send_server_hello(self, hello, suite, group, share):
        """Sends the ServerHello (and a ChangeCipherSpec); returns the ServerHello message."""
        fault = self.fault
        server_random = HRR_RANDOM if fault == 'hello_retry' else os.urandom(32)
        extensions = extension(0x2B, struct.pack('>H', 0x0304))
        if fault != 'no_key_share':
            extensions += extension(0x33, struct.pack('>HH', GROUP_IDS[group], len(share)) + share)
        body = (struct.pack('>H', 0x0303) + server_random + bytes([len(hello.session_id)]) + hello.session_id +
                struct.pack('>HB', self.server_hello_suite(hello, suite), 0) + struct.pack('>H', len(extensions)) +
                extensions)
        server_hello = handshake_message(2, body)
        if fault == 'split_server_hello':
            half = len(server_hello) // 2
            out = (struct.pack('>BHH', 22, 0x0303, half) + server_hello[:half] +
                   struct.pack('>BHH', 22, 0x0303, len(server_hello) - half) + server_hello[half:])
        elif fault == 'server_hello_with_more':
            more = server_hello + handshake_message(8, b'\x00\x00')
            out = struct.pack('>BHH', 22, 0x0303, len(more)) + more
        else:
            out = struct.pack('>BHH', 22, 0x0303, len(server_hello)) + server_hello
        out += b'\x14\x03\x03\x00\x01\x01'
        self.conn.sock.sendall(out)
        return server_hello

    def certificate(self, reality_key, auth_key):
        """(signing key, certificate DER) for this connection."""
        if self.fault == 'ecdsa_cert':
            return ecdsa_certificate()
        if reality_key is not None:
            cert_key, template = ed25519_template('reality.test')
            return cert_key, reality_certificate(cert_key, template, auth_key, damage=(self.fault == 'bad_cert_hmac'))
        return self.options.plain_identity

    def send_server_flight(self, schedule, server_hs, transcript, reality_key, auth_key):
        """EncryptedExtensions to Finished under the server's handshake keys; returns the
        transcript and whether the flight went out whole (some faults end the handshake here)."""
        fault = self.fault
        write = Protection(schedule, server_hs)
        ee = handshake_message(8, b'\x00\x00')
        cert_key, der = self.certificate(reality_key, auth_key)
        entry = len(der).to_bytes(3, 'big') + der + b'\x00\x00'
        certificate = handshake_message(11, b'\x00' + len(entry).to_bytes(3, 'big') + entry)
        flight1 = ee + (b'' if fault == 'no_certificate' else certificate)
        transcript += flight1
        flight2 = b''
        if fault != 'no_certificate':
            content = (b' ' * 64 + b'TLS 1.3, server CertificateVerify\x00' + schedule.transcript_hash(transcript))
            if isinstance(cert_key, ed25519.Ed25519PrivateKey):
                verify = struct.pack('>HH', 0x0807, 64) + cert_key.sign(content)
            else:
                signature = cert_key.sign(content, ec.ECDSA(hashes.SHA256()))
                verify = struct.pack('>HH', 0x0403, len(signature)) + signature
            certificate_verify = handshake_message(15, verify)
            transcript += certificate_verify
            flight2 += certificate_verify
        verify_data = schedule.finished(server_hs, transcript)
        if fault == 'finished_mac':
            verify_data = bytes([verify_data[0] ^ 0x80]) + verify_data[1:]
        elif fault == 'finished_short':
            verify_data = verify_data[:-1]
        elif fault == 'finished_long':
            verify_data += b'\x00'
        finished = handshake_message(20, verify_data)
        transcript += finished
        flight2 += finished
        if fault == 'handshake_after_finished':
            flight2 += handshake_message(4, bytes(16))
        if fault == 'oversized_message':
            # A message header claiming 16 MiB, then records of filler that never complete it.
            records = write.seal(22, b'\x08\xff\xff\xff' + bytes(16000))
            for _ in range(8):
                records += write.seal(22, bytes(16384))
            self.conn.sock.sendall(records)
            self.conn.need(1)  # the client must give up on its own
            return transcript, False
        records = write.seal(22, flight1) + b'\x14\x03\x03\x00\x01\x01' + write.seal(22, flight2)
        if fault == 'truncated_handshake':
            self.conn.sock.sendall(records[:len(records) // 2])
            self.conn.sock.shutdown(socket.SHUT_WR)
            return transcript, False
        self.conn.sock.sendall(records)
        return transcript, True

    def watch_refusal(self, read):
        """After a faulty flight: the client must give up. Its closing or an alert is right; any
        other record is reported as a VIOLATION (for mlkem_ciphertext_altered, a protected record
        that does not open under our keys was sealed under the client's own: an alert at most)."""
        try:
            header, body = self.conn.record()
        except Closed:
            log(self.listener.name, 'the client gave up')
            return 'failed'
        if header[0] == 21:
            log(self.listener.name, 'the client gave up with an alert')
            return 'failed'
        if header[0] == 23 and self.fault == 'mlkem_ciphertext_altered' and read is not None:
            try:
                read.open(header, body)
            except (InvalidTag, ValueError):
                log(self.listener.name, 'the client sent a record sealed under keys that are not ours')
                return 'failed'
        log('VIOLATION: the client sent a record after a handshake it should have failed')
        return 'failed'

    def read_client_finished(self, schedule, client_hs, transcript):
        """The client's flight: ChangeCipherSpec (optional), then its Finished."""
        read = Protection(schedule, client_hs)
        if self.fault in HANDSHAKE_FAULTS:
            return self.watch_refusal(read)
        while True:
            header, body = self.conn.record()
            if header[0] == 20:
                continue
            if header[0] == 21:
                log(self.listener.name, 'the client ended the handshake with an alert', body.hex())
                return 'failed'
            if header[0] != 23:
                raise ValueError('client sent record type %d' % header[0])
            kind, content = read.open(header, body)
            break
        if kind != 22 or content != handshake_message(20, schedule.finished(client_hs, transcript)):
            raise ValueError('client Finished does not verify')
        return 'ok'

    def send_after_handshake(self, reality):
        # As real servers do: a session ticket and an empty record.
        ticket = handshake_message(4, struct.pack('>IIBBH', 7200, 1, 1, 0, 4) + b'tick' + struct.pack('>H', 0))
        tail = self.write.seal(22, ticket)
        if reality:
            tail += self.write.seal(23, b'')  # s_client stalls on it at times: not in plain mode
        if self.fault == 'ccs_after_handshake':
            tail += b'\x14\x03\x03\x00\x01\x01'
        if self.fault == 'plaintext_after_handshake':
            # A session ticket in the clear: harmless if taken, so only a refusal ends the stream.
            tail += struct.pack('>BHH', 22, 0x0303, len(ticket)) + ticket
        self.conn.sock.sendall(tail)


# ---------------------------------------------------------------------------------------------
# Python's ssl module as the channel (TLS + Vision)

class SslServer:
    """Python's ssl over memory buffers; one lock covers the SSL object, never a socket wait."""

    def __init__(self, sock, context):
        self.sock = sock
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.obj = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.lock = threading.Lock()

    def flush_locked(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise Closed()
        with self.lock:
            self.incoming.write(data)

    def handshake(self):
        while True:
            with self.lock:
                try:
                    self.obj.do_handshake()
                    self.flush_locked()
                    return
                except ssl.SSLWantReadError:
                    self.flush_locked()
            self.fill()

    def send(self, data):
        with self.lock:
            self.obj.write(data)
            self.flush_locked()

    def recv(self):
        while True:
            with self.lock:
                try:
                    data = self.obj.read(65536)
                    self.flush_locked()
                    return data
                except ssl.SSLWantReadError:
                    self.flush_locked()
                except ssl.SSLZeroReturnError:
                    return b''
            try:
                self.fill()
            except Closed:
                return b''

    def send_raw(self, data):
        with self.lock:
            self.sock.sendall(data)

    def recv_raw(self):
        return self.sock.recv(65536)

    def close_write(self, raw=False):
        try:
            if not raw:
                with self.lock:
                    self.obj.unwrap()
        except (ssl.SSLError, ValueError):
            pass
        try:
            with self.lock:
                self.flush_locked()
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def take_rest(self):
        with self.lock:
            out = b''
            while self.obj.pending():
                out += self.obj.read(self.obj.pending())
            return out + self.incoming.read()


# ---------------------------------------------------------------------------------------------
# VLESS and Vision

def is_client_hello(data):
    return len(data) > 5 and data[0] == 0x16 and data[1] == 3 and data[5] == 1


def is_tls13_server_hello(data):
    if len(data) < 5 or data[0] != 0x16 or data[1:3] != b'\x03\x03':
        return False
    end = 5 + struct.unpack('>H', data[3:5])[0]
    return b'\x00\x2b\x00\x02\x03\x04' in data[:end]


def whole_app_records(data):
    p = 0
    if not data:
        return False
    while p < len(data):
        if len(data) - p < 5 or data[p] != 0x17 or data[p + 1:p + 3] != b'\x03\x03':
            return False
        p += 5 + struct.unpack('>H', data[p + 3:p + 5])[0]
    return p == len(data)


class Stream:
    """Reads the VLESS client's bytes through a channel, with the Vision unframing."""

    def __init__(self, channel, uuid):
        self.channel = channel
        self.uuid = uuid
        self.buffer = b''
        self.vision = False
        self.framed = False
        self.direct = False
        self.id_seen = False
        self.client_tls = False
        self.server_tls13 = False
        self.lock = threading.Lock()

    def more(self):
        data = self.channel.recv_raw() if self.direct else self.channel.recv()
        if not data:
            raise Closed()
        self.buffer += data

    def exact(self, n):
        while len(self.buffer) < n:
            self.more()
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def read_request(self):
        version = self.exact(1)
        if version != b'\x00':
            raise ValueError('VLESS version %r' % version)
        if self.exact(16) != self.uuid:
            raise ValueError('unknown user')
        addons = self.exact(self.exact(1)[0])
        if addons:
            if addons[:2] != b'\x0a\x10' or addons[2:] != VISION_FLOW:
                raise ValueError('unknown addons %r' % addons)
            self.vision = self.framed = True
        command = self.exact(1)[0]
        port = struct.unpack('>H', self.exact(2))[0]
        kind = self.exact(1)[0]
        if command != 1 or kind != 2:
            raise ValueError('unsupported command or address type')
        host = self.exact(self.exact(1)[0]).decode()
        return host, port

    def read(self):
        """The next destination bytes from the client; b'' at its end."""
        try:
            if not self.framed:
                if self.buffer:
                    out, self.buffer = self.buffer, b''
                    return out
                self.more()
                out, self.buffer = self.buffer, b''
                return out
            while True:
                if not self.id_seen:
                    if self.exact(16) != self.uuid:
                        raise ValueError('first frame without the user id')
                    self.id_seen = True
                command, content_len, padding_len = struct.unpack('>BHH', self.exact(5))
                content = self.exact(content_len)
                self.exact(padding_len)
                if is_client_hello(content):
                    self.client_tls = True
                if command != 0:
                    self.framed = False
                    if command == 2:
                        # The client dropped the outer protection after this frame.
                        log('vision: direct from the client')
                        self.direct = True
                        self.buffer = self.buffer + self.take_channel_rest()
                if content or not self.framed:
                    return content
        except Closed:
            return b''

    def take_channel_rest(self):
        return self.channel.take_rest()


class Writer:
    """Writes destination bytes to the client, framed while Vision asks for it.

    Once both sides of the inner TLS 1.3 handshake were seen, the destination's bytes are TLS
    records; the writer follows their boundaries and switches to direct at the first run of whole
    application-data records that fits one frame: that run goes out as the command-2 frame and
    everything after it raw."""

    def __init__(self, channel, stream, uuid):
        self.channel = channel
        self.stream = stream
        self.uuid = uuid
        self.first = True
        self.direct = False
        self.record_left = 0    # bytes of the current inner record still to come
        self.header = b''       # a partial inner record header

    def frame(self, command, chunk):
        if len(chunk) < 900 and self.stream.client_tls:
            padding = int.from_bytes(os.urandom(2), 'little') % 500 + 900 - len(chunk)
        else:
            padding = os.urandom(1)[0]
        padding = max(0, min(padding, 8171 - len(chunk)))
        frame = (self.uuid if self.first else b'') + struct.pack('>BHH', command, len(chunk), padding)
        self.first = False
        self.channel.send(frame + chunk + os.urandom(padding))

    def framed(self, data):
        for i in range(0, len(data), 8000):
            self.frame(0, data[i:i + 8000])

    def direct_run(self, data):
        """(start, end) of the first run of whole application-data records within 8000 bytes
        that begins at a record boundary, or None; advances the record tracking over `data`."""
        p, found = 0, None
        while p < len(data):
            if self.record_left == 0:
                take = min(5 - len(self.header), len(data) - p)
                self.header += data[p:p + take]
                if len(self.header) < 5:
                    break
                start = p - (len(self.header) - take)
                kind, length = self.header[0], struct.unpack('>H', self.header[3:5])[0]
                self.header = b''
                p += take
                self.record_left = length
                end = p + length
                if found is None and kind == 0x17 and start >= 0 and end <= len(data) and end - start <= 8000:
                    found = (start, end)
            step = min(self.record_left, len(data) - p)
            p += step
            self.record_left -= step
        return found

    def write(self, data):
        if self.direct:
            self.channel.send_raw(data)
            return
        if not self.stream.vision:
            self.channel.send(data)
            return
        tracking = self.stream.client_tls and self.stream.server_tls13
        if is_tls13_server_hello(data):
            self.stream.server_tls13 = True
        if not tracking:
            self.framed(data)
            if self.stream.server_tls13:
                self.direct_run(data)  # the server's flight: follow its records from here on
            return
        run = self.direct_run(data)
        if run is None:
            self.framed(data)
            return
        start, end = run
        self.framed(data[:start])
        self.frame(2, data[start:end])
        log('vision: direct to the client')
        self.direct = True
        if end < len(data):
            self.channel.send_raw(data[end:])


def serve_vless(channel, uuid, fault):
    stream = Stream(channel, uuid)
    host, port = stream.read_request()
    origin = socket.create_connection((host, port), timeout=10)
    origin.settimeout(None)
    origin.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    writer = Writer(channel, stream, uuid)
    channel.send(b'\x00\x00')
    sent = [0]

    def upstream():
        try:
            while True:
                data = stream.read()
                if not data:
                    break
                origin.sendall(data)
        except (OSError, ValueError) as error:
            log('upstream ended:', error)
        try:
            origin.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    thread = threading.Thread(target=upstream, daemon=True)
    thread.start()
    key_updates = 0
    try:
        while True:
            data = origin.recv(65536)
            if not data:
                break
            if fault == 'key_update' and isinstance(channel, TlsServer) and not writer.direct and key_updates < 3:
                channel.conn.sock.sendall(channel.write.seal(22, handshake_message(24, b'\x00')))
                channel.write.update()
                key_updates += 1
            if isinstance(channel, TlsServer) and not writer.direct:
                # Empty records, as REALITY servers send them, among the data.
                channel.conn.sock.sendall(channel.write.seal(23, b''))
            writer.write(data)
            sent[0] += len(data)
            if fault == 'alert_mid_stream' and sent[0] >= 1024:
                channel.conn.sock.sendall(channel.write.seal(21, b'\x02\x0a'))
                break
            if fault == 'record_too_long' and sent[0] >= 1024:
                channel.conn.sock.sendall(struct.pack('>BHH', 23, 0x0303, 18433) + os.urandom(18433))
                break
            if fault == 'record_too_short' and sent[0] >= 1024:
                channel.conn.sock.sendall(struct.pack('>BHH', 23, 0x0303, 15) + os.urandom(15))
                break
            if fault == 'close_after_data' and sent[0] >= 1024:
                break
    except OSError as error:
        log('downstream ended:', error)
    channel.close_write(raw=writer.direct)
    thread.join(timeout=30)
    origin.close()


# ---------------------------------------------------------------------------------------------
# Listeners

class Options:
    pass


def relay(a, b, first=b''):
    def pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass
    if first:
        b.sendall(first)
    t = threading.Thread(target=pump, args=(b, a), daemon=True)
    t.start()
    pump(a, b)
    t.join(timeout=30)


def relay_to_decoy(sock, conn, options, raw, name, reason):
    """Not ours: the connection goes to an ordinary TLS server, the bytes read so far first."""
    log(name, 'relayed to the decoy:', reason)
    target = socket.create_connection(('127.0.0.1', options.fallback_port))
    relay(sock, target, raw + conn.buffer)
    target.close()


def handle_reality(sock, options, listener):
    name = listener.name
    conn = Conn(sock)
    try:
        raw, message, problem = read_client_hello(conn)
        if message is None:
            if listener.reality:
                relay_to_decoy(sock, conn, options, raw, name, problem)
            else:
                log(name, 'no ClientHello:', problem)
            return
        server = TlsServer(conn, options, listener)
        short_ids = [options.short_id] if listener.fault != 'wrong_short_id' else [bytes(8)]
        key = options.reality_key if listener.reality else None
        try:
            outcome = server.handshake(message, key, short_ids)
        except Refusal as refusal:
            log(name, 'refused with alert %d:' % refusal.alert, refusal)
            sock.sendall(plaintext_alert(refusal.alert))
            return
        if isinstance(outcome, tuple):
            relay_to_decoy(sock, conn, options, raw, name, outcome[1])
            return
        if outcome != 'ok':
            return
        if not listener.reality:
            while True:
                data = server.recv()
                if not data:
                    break
                server.send(data)
            return
        serve_vless(server, options.uuid, listener.fault)
    except (Closed, OSError) as error:
        log(name, 'connection ended:', type(error).__name__, error)
    except Exception as error:  # a failed check ends the connection, as a real server would
        log(name, 'handshake or session failed:', error)


def handle_tls(sock, options):
    try:
        server = SslServer(sock, options.tls_context)
        server.handshake()
        serve_vless(server, options.uuid, None)
    except (Closed, OSError, ssl.SSLError, ValueError) as error:
        log('tls connection ended:', error)


def handle_fallback(sock, options):
    try:
        with options.fallback_context.wrap_socket(sock, server_side=True) as tls:
            while True:
                data = tls.recv(65536)
                if not data:
                    break
                tls.sendall(data)
    except (OSError, ssl.SSLError) as error:
        log('fallback connection ended:', error)


def accept_loop(listener, handler):
    while True:
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def run(s=sock):
            try:
                handler(s)
            finally:
                try:
                    s.close()
                except OSError:
                    pass
        threading.Thread(target=run, daemon=True).start()


# Listeners that behave but use one suite or group whatever the command line says.
VARIANTS = {
    'reality_1301': {'suite': 0x1301},
    'reality_1302': {'suite': 0x1302},
    'reality_1303': {'suite': 0x1303},
    'reality_hybrid': {'group': 'hybrid'},
    'reality_x25519': {'group': 'x25519'},
}


def make_listener(name):
    if name == 'plain':
        return Listener(name, reality=False)
    return Listener(name, fault=name if name in MISBEHAVIOURS else None, **VARIANTS.get(name, {}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--private-key', required=True, help='REALITY X25519 private key, hex')
    parser.add_argument('--short-id', required=True, help='8 bytes, hex')
    parser.add_argument('--uuid', required=True, help='VLESS user id, 32 hex digits')
    parser.add_argument('--certs', help='directory with leaf.pem/leaf.key for the TLS listener')
    parser.add_argument('--only', help='comma-separated listener names (default: all)')
    parser.add_argument('--rules', choices=['current', 'legacy'], default='legacy',
                        help='which ClientHello counts as REALITY: current needs the X25519MLKEM768 share '
                             '(servers since September 2026), legacy an X25519 share (default: legacy)')
    parser.add_argument('--legacy-x25519', action='store_true', help='the same as --rules legacy')
    parser.add_argument('--group', choices=['hybrid', 'x25519'],
                        help='the ServerHello key share (default: hybrid under current rules, x25519 under legacy)')
    parser.add_argument('--suite', choices=['1301', '1302', '1303'], default='1301',
                        help='TLS_AES_128_GCM_SHA256, TLS_AES_256_GCM_SHA384 or TLS_CHACHA20_POLY1305_SHA256 '
                             '(default: 1301)')
    args = parser.parse_args()

    options = Options()
    options.rules = 'legacy' if args.legacy_x25519 else args.rules
    options.group = args.group or ('hybrid' if options.rules == 'current' else 'x25519')
    options.suite = int(args.suite, 16)
    options.reality_key = x25519.X25519PrivateKey.from_private_bytes(bytes.fromhex(args.private_key))
    options.short_id = bytes.fromhex(args.short_id).ljust(8, b'\0')
    options.uuid = bytes.fromhex(args.uuid.replace('-', ''))
    options.plain_identity = ed25519_template('plain.test')

    names = ['reality'] + list(VARIANTS) + ['plain', 'fallback'] + MISBEHAVIOURS
    if args.certs:
        names.append('tls')
        options.tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        options.tls_context.load_cert_chain(os.path.join(args.certs, 'leaf.pem'), os.path.join(args.certs, 'leaf.key'))
    if args.only:
        names = [n for n in names if n in args.only.split(',')] + ['fallback']
    # The fallback: a real TLS 1.3 server with an ordinary (ECDSA) certificate.
    import tempfile
    key, der = ecdsa_certificate()
    with tempfile.TemporaryDirectory() as directory:
        cert_path = os.path.join(directory, 'c.pem')
        key_path = os.path.join(directory, 'k.pem')
        with open(cert_path, 'wb') as f:
            f.write(x509.load_der_x509_certificate(der).public_bytes(serialization.Encoding.PEM))
        with open(key_path, 'wb') as f:
            f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
        options.fallback_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        options.fallback_context.load_cert_chain(cert_path, key_path)

    ports = []
    for name in dict.fromkeys(names):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(('127.0.0.1', 0))
        listener.listen(64)
        port = listener.getsockname()[1]
        ports.append('%s=%d' % (name, port))
        if name == 'fallback':
            options.fallback_port = port
            handler = (lambda s: handle_fallback(s, options))
        elif name == 'tls':
            handler = (lambda s: handle_tls(s, options))
        else:
            handler = (lambda s, listener=make_listener(name): handle_reality(s, options, listener))
        threading.Thread(target=accept_loop, args=(listener, handler), daemon=True).start()
    log('rules %s, group %s, suite %s' % (options.rules, options.group, SUITES[options.suite].name))
    print('ports ' + ' '.join(ports), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass


if __name__ == '__main__':
    main()
