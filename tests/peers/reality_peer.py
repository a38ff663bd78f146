#!/usr/bin/env python3
"""A REALITY + VLESS (with and without Vision) server for the client's interop tests.

Written from RFC 8446 (TLS 1.3) and the public descriptions of REALITY, VLESS and the Vision
flow; it shares nothing with the C++ client. One process serves several ports, one behaviour
each, and prints "ports NAME=PORT ..." once all listen:

  reality        REALITY handshake (TLS_AES_128_GCM_SHA256, x25519, Ed25519 certificate whose
                 signature is HMAC-SHA512(auth key, public key), a real CertificateVerify), then
                 VLESS with or without the Vision flow, as the client asks.
  plain          the same TLS 1.3 server half with an ordinary self-signed Ed25519 certificate and
                 no REALITY token check, echoing application data (for `openssl s_client`).
  tls            Python's ssl module (TLS 1.2/1.3, the test CA's leaf) serving VLESS (+Vision).
  fallback       where a ClientHello with a bad token goes: a real TLS server (Python's ssl).
  <misbehaviour> REALITY with one fault (see MISBEHAVIOURS).

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
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, x25519
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.x509.oid import NameOID

MISBEHAVIOURS = [
    'bad_cert_hmac', 'ecdsa_cert', 'no_certificate', 'finished_short', 'finished_long', 'finished_mac',
    'suite_1302', 'hello_retry', 'split_server_hello', 'record_too_long', 'record_too_short',
    'plaintext_after_handshake', 'alert_mid_stream', 'truncated_handshake', 'low_order_share',
    'key_update', 'close_after_data', 'handshake_after_finished', 'wrong_short_id',
    'oversized_message', 'server_hello_with_more', 'ccs_after_handshake', 'no_key_share',
]

# Faults in the server's flight after which a client must send nothing more.
HANDSHAKE_FAULTS = {
    'bad_cert_hmac', 'ecdsa_cert', 'no_certificate', 'finished_short', 'finished_long', 'finished_mac',
    'suite_1302', 'hello_retry', 'split_server_hello', 'low_order_share', 'handshake_after_finished',
    'server_hello_with_more', 'no_key_share',
}

VISION_FLOW = b'xtls-rprx-vision'
HRR_RANDOM = hashlib.sha256(b'HelloRetryRequest').digest()


def log(*parts):
    print('reality_peer:', *parts, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# RFC 8446 key schedule (SHA-256)

def hkdf_extract(salt, ikm):
    return hmac.new(salt or bytes(32), ikm, hashlib.sha256).digest()


def hkdf_expand(prk, info, length):
    out, block, counter = b'', b'', 1
    while len(out) < length:
        block = hmac.new(prk, block + info + bytes([counter]), hashlib.sha256).digest()
        out += block
        counter += 1
    return out[:length]


def expand_label(secret, label, context, length):
    full = b'tls13 ' + label
    info = struct.pack('>H', length) + bytes([len(full)]) + full + bytes([len(context)]) + context
    return hkdf_expand(secret, info, length)


def derive_secret(secret, label, transcript):
    return expand_label(secret, label, hashlib.sha256(transcript).digest(), 32)


class Protection:
    """One direction of TLS 1.3 record protection."""

    def __init__(self, secret):
        self.install(secret)

    def install(self, secret):
        self.secret = secret
        self.aead = AESGCM(expand_label(secret, b'key', b'', 16))
        self.iv = expand_label(secret, b'iv', b'', 12)
        self.seq = 0

    def update(self):
        self.install(expand_label(self.secret, b'traffic upd', b'', 32))

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


def parse_client_hello(message):
    """Returns (random, session_id, key_share or None, suites, server_name, offset of session id)."""
    if message[0] != 1:
        raise ValueError('not a ClientHello')
    p = 4 + 2
    random = message[p:p + 32]
    p += 32
    sid_len = message[p]
    sid_offset = p + 1
    session_id = message[p + 1:p + 1 + sid_len]
    p += 1 + sid_len
    n = struct.unpack('>H', message[p:p + 2])[0]
    suites = [struct.unpack('>H', message[p + 2 + i:p + 4 + i])[0] for i in range(0, n, 2)]
    p += 2 + n
    p += 1 + message[p]
    end = p + 2 + struct.unpack('>H', message[p:p + 2])[0]
    p += 2
    key_share, server_name, versions = None, None, []
    while p < end:
        kind, length = struct.unpack('>HH', message[p:p + 4])
        body = message[p + 4:p + 4 + length]
        p += 4 + length
        if kind == 0x33:
            q = 2
            while q < len(body):
                group, klen = struct.unpack('>HH', body[q:q + 4])
                if group == 0x1D and klen == 32:
                    key_share = body[q + 4:q + 36]
                q += 4 + klen
        elif kind == 0:
            name_len = struct.unpack('>H', body[3:5])[0]
            server_name = body[5:5 + name_len]
        elif kind == 0x2B:
            versions = [struct.unpack('>H', body[1 + i:3 + i])[0] for i in range(0, body[0], 2)]
    if 0x0304 not in versions:
        raise ValueError('no TLS 1.3 offered')
    return random, session_id, key_share, suites, server_name, sid_offset


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

class TlsServer:
    """Runs the handshake; afterwards send/recv application data and the raw hand-over."""

    def __init__(self, conn, options, fault):
        self.conn = conn
        self.options = options
        self.fault = fault
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

    def handshake(self, hello_record_body, reality_key, short_ids):
        fault = self.fault
        client_hello = hello_record_body
        random, session_id, client_share, suites, server_name, sid_offset = parse_client_hello(client_hello)
        if client_share is None or 0x1301 not in suites:
            raise ValueError('no x25519 share or no TLS_AES_128_GCM_SHA256')
        auth_key = None
        if reality_key is not None:
            auth_key = open_reality_token(reality_key, client_hello, random, session_id, client_share, sid_offset,
                                          short_ids)
            if auth_key is None:
                return 'fallback'

        transcript = client_hello
        ours = x25519.X25519PrivateKey.generate()
        our_share = ours.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
        if fault == 'low_order_share':
            our_share = bytes(32)
        shared = ours.exchange(x25519.X25519PublicKey.from_public_bytes(client_share))

        server_random = HRR_RANDOM if fault == 'hello_retry' else os.urandom(32)
        suite = 0x1302 if fault == 'suite_1302' else 0x1301
        extensions = struct.pack('>HHH', 0x2B, 2, 0x0304) + struct.pack('>HHHH', 0x33, 36, 0x1D, 32) + our_share
        if fault == 'no_key_share':
            extensions = struct.pack('>HHH', 0x2B, 2, 0x0304)
        body = (struct.pack('>H', 0x0303) + server_random + bytes([len(session_id)]) + session_id +
                struct.pack('>HB', suite, 0) + struct.pack('>H', len(extensions)) + extensions)
        server_hello = handshake_message(2, body)
        transcript += server_hello
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

        early = hkdf_extract(bytes(32), bytes(32))
        handshake_secret = hkdf_extract(derive_secret(early, b'derived', b''), shared)
        client_hs = derive_secret(handshake_secret, b'c hs traffic', transcript)
        server_hs = derive_secret(handshake_secret, b's hs traffic', transcript)
        write = Protection(server_hs)

        ee = handshake_message(8, b'\x00\x00')
        if fault == 'ecdsa_cert':
            cert_key, der = ecdsa_certificate()
        elif reality_key is not None:
            cert_key, template = ed25519_template('reality.test')
            der = reality_certificate(cert_key, template, auth_key, damage=(fault == 'bad_cert_hmac'))
        else:
            cert_key, der = self.options.plain_identity
        entry = len(der).to_bytes(3, 'big') + der + b'\x00\x00'
        certificate = handshake_message(11, b'\x00' + len(entry).to_bytes(3, 'big') + entry)
        flight1 = ee + (b'' if fault == 'no_certificate' else certificate)
        transcript += flight1
        flight2 = b''
        if fault != 'no_certificate':
            content = (b' ' * 64 + b'TLS 1.3, server CertificateVerify\x00' + hashlib.sha256(transcript).digest())
            if isinstance(cert_key, ed25519.Ed25519PrivateKey):
                verify = struct.pack('>HH', 0x0807, 64) + cert_key.sign(content)
            else:
                signature = cert_key.sign(content, ec.ECDSA(hashes.SHA256()))
                verify = struct.pack('>HH', 0x0403, len(signature)) + signature
            certificate_verify = handshake_message(15, verify)
            transcript += certificate_verify
            flight2 += certificate_verify
        finished_key = expand_label(server_hs, b'finished', b'', 32)
        verify_data = hmac.new(finished_key, hashlib.sha256(transcript).digest(), hashlib.sha256).digest()
        if fault == 'finished_mac':
            verify_data = bytes([verify_data[0] ^ 0x80]) + verify_data[1:]
        elif fault == 'finished_short':
            verify_data = verify_data[:31]
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
            return 'failed'
        records = write.seal(22, flight1) + b'\x14\x03\x03\x00\x01\x01' + write.seal(22, flight2)
        if fault == 'truncated_handshake':
            self.conn.sock.sendall(records[:len(records) // 2])
            self.conn.sock.shutdown(socket.SHUT_WR)
            return 'failed'
        self.conn.sock.sendall(records)

        master = hkdf_extract(derive_secret(handshake_secret, b'derived', b''), bytes(32))
        client_ap = derive_secret(master, b'c ap traffic', transcript)
        server_ap = derive_secret(master, b's ap traffic', transcript)

        # The client's flight: ChangeCipherSpec (optional), then its Finished.
        read = Protection(client_hs)
        while True:
            try:
                header, body = self.conn.record()
            except Closed:
                raise
            if fault in HANDSHAKE_FAULTS:
                # The client must have given up: anything it sends now would follow a failed check.
                log('VIOLATION: the client sent a record after a handshake it should have failed')
                raise Closed()
            if header[0] == 20:
                continue
            if header[0] != 23:
                raise ValueError('client sent record type %d' % header[0])
            kind, content = read.open(header, body)
            break
        expected = hmac.new(expand_label(client_hs, b'finished', b'', 32), hashlib.sha256(transcript).digest(),
                            hashlib.sha256).digest()
        if kind != 22 or content != handshake_message(20, expected):
            raise ValueError('client Finished does not verify')
        self.read = Protection(client_ap)
        self.write = Protection(server_ap)
        # As real servers do: a session ticket and an empty record.
        tail = self.write.seal(22, handshake_message(4, struct.pack('>IIBBH', 7200, 1, 1, 0, 4) + b'tick' +
                                                     struct.pack('>H', 0)))
        if reality_key is not None:
            tail += self.write.seal(23, b'')  # s_client stalls on it at times: not in plain mode
        if fault == 'ccs_after_handshake':
            tail += b'\x14\x03\x03\x00\x01\x01'
        if fault == 'plaintext_after_handshake':
            # A session ticket in the clear: harmless if taken, so only a refusal ends the stream.
            ticket = handshake_message(4, struct.pack('>IIBBH', 7200, 1, 1, 0, 4) + b'tick' + struct.pack('>H', 0))
            tail += struct.pack('>BHH', 22, 0x0303, len(ticket)) + ticket
        self.conn.sock.sendall(tail)
        return 'ok'


def open_reality_token(private_key, client_hello, random, session_id, client_share, sid_offset, short_ids):
    if len(session_id) != 32:
        return None
    shared = private_key.exchange(x25519.X25519PublicKey.from_public_bytes(client_share))
    auth_key = hkdf_expand(hkdf_extract(random[:20], shared), b'REALITY', 32)
    associated = client_hello[:sid_offset] + bytes(32) + client_hello[sid_offset + 32:]
    try:
        token = AESGCM(auth_key).decrypt(random[20:], session_id, associated)
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


def handle_reality(sock, options, name):
    fault = name if name in MISBEHAVIOURS else None
    conn = Conn(sock)
    try:
        header, body = conn.record()
        if header[0] != 22:
            raise ValueError('first record is not a handshake record')
        server = TlsServer(conn, options, fault)
        short_ids = [options.short_id] if fault != 'wrong_short_id' else [bytes(8)]
        key = options.reality_key if name != 'plain' else None
        outcome = server.handshake(body, key, short_ids)
        if outcome == 'fallback':
            # Not ours: the connection goes to an ordinary TLS server.
            target = socket.create_connection(('127.0.0.1', options.fallback_port))
            relay(sock, target, header + body + conn.buffer)
            target.close()
            return
        if outcome != 'ok':
            return
        if name == 'plain':
            while True:
                data = server.recv()
                if not data:
                    break
                server.send(data)
            return
        serve_vless(server, options.uuid, fault)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--private-key', required=True, help='REALITY X25519 private key, hex')
    parser.add_argument('--short-id', required=True, help='8 bytes, hex')
    parser.add_argument('--uuid', required=True, help='VLESS user id, 32 hex digits')
    parser.add_argument('--certs', help='directory with leaf.pem/leaf.key for the TLS listener')
    parser.add_argument('--only', help='comma-separated listener names (default: all)')
    args = parser.parse_args()

    options = Options()
    options.reality_key = x25519.X25519PrivateKey.from_private_bytes(bytes.fromhex(args.private_key))
    options.short_id = bytes.fromhex(args.short_id).ljust(8, b'\0')
    options.uuid = bytes.fromhex(args.uuid.replace('-', ''))
    options.plain_identity = ed25519_template('plain.test')

    names = ['reality', 'plain', 'fallback'] + MISBEHAVIOURS
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
            handler = (lambda s, n=name: handle_reality(s, options, n))
        threading.Thread(target=accept_loop, args=(listener, handler), daemon=True).start()
    print('ports ' + ' '.join(ports), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass


if __name__ == '__main__':
    main()
