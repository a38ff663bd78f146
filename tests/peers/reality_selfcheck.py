#!/usr/bin/python3
"""Checks reality_peer.py's REALITY rules and its hybrid key exchange with a small client of its own.

The client here is a minimal TLS 1.3 client with its own key schedule; it shares only the ML-KEM
module (checked against NIST's vectors) with the peer. It starts the peer under current and under
legacy rules, with an echo origin behind it, and checks:
  - which key_share layouts count as REALITY (the rest go to the decoy, for the reason logged),
  - X25519MLKEM768 handshakes under each suite, and X25519 when the listener asks for it, carrying
    VLESS to the origin and back, a KeyUpdate included,
  - a REALITY client offering none of the listener's suite gets handshake_failure,
  - each hybrid-era misbehaviour does what its name says.
Exit status 0 when every check passes.
"""
import hashlib
import hmac
import os
import socket
import struct
import subprocess
import sys
import threading
import time

from cryptography import x509
from cryptography.exceptions import InvalidSignature, InvalidTag
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519, x25519
from cryptography.hazmat.primitives.ciphers.aead import AESGCM, ChaCha20Poly1305

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mlkem768  # noqa: E402

SERVER_PRIVATE = bytes.fromhex('33' * 32)
SHORT_ID = bytes.fromhex('0102030405060708')
USER = bytes.fromhex('5f1e3b0a9c2d4e8fa1b2c3d4e5f60718')
HRR_RANDOM = hashlib.sha256(b'HelloRetryRequest').digest()
X25519_GROUP, HYBRID_GROUP, GREASE_GROUP = 0x001D, 0x11EC, 0x3A3A
SUITES = {  # code: (hash, key length, AEAD)
    0x1301: (hashlib.sha256, 16, AESGCM),
    0x1302: (hashlib.sha384, 32, AESGCM),
    0x1303: (hashlib.sha256, 32, ChaCha20Poly1305),
}
TIMEOUT = 10


class Failed(Exception):
    pass


def raw_public(private):
    return private.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)


# ---------------------------------------------------------------------------------------------
# The client's key schedule (RFC 8446 section 7.1)

class Schedule:
    def __init__(self, suite):
        self.hash, self.key_length, self.aead = SUITES[suite]
        self.n = self.hash().digest_size

    def expand_label(self, secret, label, context, length):
        label = b'tls13 ' + label
        info = length.to_bytes(2, 'big') + bytes([len(label)]) + label + bytes([len(context)]) + context
        out, block, i = b'', b'', 1
        while len(out) < length:
            block = hmac.new(secret, block + info + bytes([i]), self.hash).digest()
            out, i = out + block, i + 1
        return out[:length]

    def secret(self, base, label, transcript):
        return self.expand_label(base, label, self.hash(transcript).digest(), self.n)

    def next_stage(self, base, ikm):
        return hmac.new(self.secret(base, b'derived', b''), ikm, self.hash).digest()

    def verify_data(self, base, transcript):
        key = self.expand_label(base, b'finished', b'', self.n)
        return hmac.new(key, self.hash(transcript).digest(), self.hash).digest()


class Direction:
    def __init__(self, schedule, secret):
        self.schedule = schedule
        self.set(secret)

    def set(self, secret):
        s = self.schedule
        self.secret = secret
        self.aead = s.aead(s.expand_label(secret, b'key', b'', s.key_length))
        self.iv = int.from_bytes(s.expand_label(secret, b'iv', b'', 12), 'big')
        self.seq = 0

    def update(self):
        self.set(self.schedule.expand_label(self.secret, b'traffic upd', b'', self.schedule.n))

    def nonce(self):
        self.seq += 1
        return (self.iv ^ (self.seq - 1)).to_bytes(12, 'big')

    def seal(self, kind, data):
        header = struct.pack('>BHH', 23, 0x0303, len(data) + 17)
        return header + self.aead.encrypt(self.nonce(), data + bytes([kind]), header)

    def open(self, header, body):
        inner = self.aead.decrypt(self.nonce(), body, header).rstrip(b'\0')
        return inner[-1], inner[:-1]


# ---------------------------------------------------------------------------------------------
# The ClientHello

class Offer:
    """Key shares in the order given: 'grease', 'hybrid', 'hybrid_over_q' (its encapsulation key
    fails the modulus check), 'x25519', or (group, length) for an entry of random bytes; the
    private halves are kept for the ServerHello."""

    def __init__(self, layout):
        self.entries, self.x25519, self.hybrid_x25519, self.mlkem_dk = [], None, None, None
        for item in layout:
            if item == 'grease':
                self.entries.append((GREASE_GROUP, b'\0'))
            elif item in ('hybrid', 'hybrid_over_q'):
                ek, dk = mlkem768.keygen()
                if item == 'hybrid_over_q':
                    ek = b'\xff' + bytes([ek[1] | 0x0F]) + ek[2:]  # first coefficient 4095
                private = x25519.X25519PrivateKey.generate()
                if self.mlkem_dk is None:
                    self.mlkem_dk, self.hybrid_x25519 = dk, private
                self.entries.append((HYBRID_GROUP, ek + raw_public(private)))
            elif item == 'x25519':
                private = x25519.X25519PrivateKey.generate()
                if self.x25519 is None:
                    self.x25519 = private
                self.entries.append((X25519_GROUP, raw_public(private)))
            else:
                self.entries.append((item[0], os.urandom(item[1])))

    def auth_private(self):
        return self.x25519 or self.hybrid_x25519


def u16_list(values):
    body = b''.join(struct.pack('>H', v) for v in values)
    return struct.pack('>H', len(body)) + body


def extension(kind, body):
    return struct.pack('>HH', kind, len(body)) + body


def client_hello(offer, suites, server_public, short_id=SHORT_ID):
    """The ClientHello message with a REALITY token in its session id, and the auth key."""
    random = os.urandom(32)
    name = b'reality.test'
    groups = [g for g, _ in offer.entries] + [0x0017]  # GREASE too, as browsers list it
    shares = b''.join(struct.pack('>HH', g, len(k)) + k for g, k in offer.entries)
    extensions = (extension(0, struct.pack('>HBH', len(name) + 3, 0, len(name)) + name) +
                  extension(0x0A, u16_list(list(dict.fromkeys(groups)))) +
                  extension(0x0D, u16_list([0x0807, 0x0403, 0x0804])) +
                  extension(0x2B, b'\x02\x03\x04') +
                  extension(0x2D, b'\x01\x01') +
                  extension(0x33, struct.pack('>H', len(shares)) + shares))
    body = (b'\x03\x03' + random + b'\x20' + bytes(32) + u16_list(suites) + b'\x01\x00' +
            struct.pack('>H', len(extensions)) + extensions)
    message = b'\x01' + len(body).to_bytes(3, 'big') + body
    shared = offer.auth_private().exchange(x25519.X25519PublicKey.from_public_bytes(server_public))
    prk = hmac.new(random[:20], shared, hashlib.sha256).digest()
    auth_key = hmac.new(prk, b'REALITY\x01', hashlib.sha256).digest()
    plain = bytes([1, 8, 2, 0]) + struct.pack('>I', int(time.time())) + short_id
    session_id = AESGCM(auth_key).encrypt(random[20:], plain, message)
    sid_at = 4 + 2 + 32 + 1
    return message[:sid_at] + session_id + message[sid_at + 32:], auth_key


# ---------------------------------------------------------------------------------------------
# The handshake and the session

class Socket:
    def __init__(self, port):
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=TIMEOUT)
        self.buffer = b''

    def record(self):
        """(header, body), or None at the end of the stream."""
        while len(self.buffer) < 5 or len(self.buffer) < 5 + struct.unpack('>H', self.buffer[3:5])[0]:
            data = self.sock.recv(65536)
            if not data:
                return None
            self.buffer += data
        n = 5 + struct.unpack('>H', self.buffer[3:5])[0]
        record, self.buffer = self.buffer[:n], self.buffer[n:]
        return record[:5], record[5:]


class Result:
    """What one connection showed: `outcome` is 'reality', 'decoy', 'hello_retry', 'alert N',
    'closed', 'bad_share', 'bad_record' or 'suite XXXX'; the ServerHello's fields when one came."""

    def __init__(self):
        self.outcome = None
        self.suite = self.group = self.share_length = self.selected_group = None


def parse_server_hello(message, result):
    if message[0] != 2:
        raise Failed('expected a ServerHello, got message type %d' % message[0])
    p = 4 + 2
    random = message[p:p + 32]
    p += 32
    p += 1 + message[p]
    result.suite = struct.unpack('>H', message[p:p + 2])[0]
    p += 3
    end = p + 2 + struct.unpack('>H', message[p:p + 2])[0]
    p += 2
    key = None
    while p < end:
        kind, length = struct.unpack('>HH', message[p:p + 4])
        data = message[p + 4:p + 4 + length]
        p += 4 + length
        if kind == 0x33 and random == HRR_RANDOM:
            result.selected_group = struct.unpack('>H', data)[0]
        elif kind == 0x33:
            result.group = struct.unpack('>H', data[:2])[0]
            key = data[4:4 + struct.unpack('>H', data[2:4])[0]]
            result.share_length = len(key)
    return random == HRR_RANDOM, key


def shared_secret(offer, group, key):
    """The TLS shared secret, or None for a share of the wrong group or length."""
    if group == X25519_GROUP and len(key) == 32 and offer.x25519 is not None:
        return offer.x25519.exchange(x25519.X25519PublicKey.from_public_bytes(key))
    if group != HYBRID_GROUP or len(key) != mlkem768.CIPHERTEXT_SIZE + 32 or offer.mlkem_dk is None:
        return None
    mlkem_secret = mlkem768.decaps(offer.mlkem_dk, key[:mlkem768.CIPHERTEXT_SIZE])
    ecdh = offer.hybrid_x25519.exchange(x25519.X25519PublicKey.from_public_bytes(key[mlkem768.CIPHERTEXT_SIZE:]))
    return mlkem_secret + ecdh


class Session:
    def __init__(self, conn, read, write):
        self.conn, self.read, self.write = conn, read, write

    def send(self, kind, data):
        self.conn.sock.sendall(self.write.seal(kind, data))

    def recv(self):
        """The next application data; KeyUpdates are followed, tickets and empty records skipped."""
        while True:
            record = self.conn.record()
            if record is None:
                raise Failed('the session ended early')
            kind, content = self.read.open(*record)
            if kind == 23 and content:
                return content
            if kind == 22 and content[:1] == b'\x18':
                self.read.update()
            elif kind == 21:
                raise Failed('alert %s in the session' % content.hex())

    def exact(self, n):
        out = b''
        while len(out) < n:
            out += self.recv()
        return out


def handshake(port, layout, suites, server_public=None, expect_auth=True):
    """Connects and runs the handshake as far as the peer lets it; (Result, Session or None)."""
    result = Result()
    offer = Offer(layout)
    hello, auth_key = client_hello(offer, suites, server_public or raw_public(
        x25519.X25519PrivateKey.from_private_bytes(SERVER_PRIVATE)))
    conn = Socket(port)
    conn.sock.sendall(struct.pack('>BHH', 22, 0x0301, len(hello)) + hello)
    record = conn.record()
    if record is None:
        result.outcome = 'closed'
        return result, None
    if record[0][0] == 21:
        result.outcome = 'alert %d' % record[1][1]
        return result, None
    server_hello = record[1]
    retry, key = parse_server_hello(server_hello, result)
    if retry:
        result.outcome = 'hello_retry'
        return result, None
    if result.suite not in SUITES or result.suite not in suites:
        result.outcome = 'suite %04x' % result.suite
        return result, None
    shared = shared_secret(offer, result.group, key or b'')
    if shared is None:
        result.outcome = 'bad_share'
        return result, None
    schedule = Schedule(result.suite)
    transcript = hello + server_hello
    early = hmac.new(bytes(schedule.n), bytes(schedule.n), schedule.hash).digest()
    handshake_secret = schedule.next_stage(early, shared)
    client_hs = schedule.secret(handshake_secret, b'c hs traffic', transcript)
    server_hs = schedule.secret(handshake_secret, b's hs traffic', transcript)
    read = Direction(schedule, server_hs)
    messages, certificate_der, certificate_verified = b'', None, False
    while True:
        record = conn.record()
        if record is None:
            result.outcome = 'closed'
            return result, None
        if record[0][0] == 20:
            continue
        try:
            kind, content = read.open(*record)
        except InvalidTag:
            result.outcome = 'bad_record'
            return result, None
        messages += content
        while len(messages) >= 4 and len(messages) >= 4 + int.from_bytes(messages[1:4], 'big'):
            n = 4 + int.from_bytes(messages[1:4], 'big')
            message, messages = messages[:n], messages[n:]
            if message[0] == 11:
                certificate_der = message[4 + 1 + 3 + 3:4 + 1 + 3 + 3 + int.from_bytes(message[8:11], 'big')]
            elif message[0] == 15:
                content_signed = b' ' * 64 + b'TLS 1.3, server CertificateVerify\x00' + schedule.hash(transcript).digest()
                public = x509.load_der_x509_certificate(certificate_der).public_key()
                if isinstance(public, ed25519.Ed25519PublicKey):
                    try:
                        public.verify(message[8:], content_signed)
                        certificate_verified = True
                    except InvalidSignature:
                        raise Failed('CertificateVerify does not verify')
            elif message[0] == 20:
                if message[4:] != schedule.verify_data(server_hs, transcript):
                    raise Failed('server Finished does not verify')
                transcript += message
                return finish(conn, schedule, handshake_secret, client_hs, transcript, result,
                              certificate_der, certificate_verified, auth_key)
            transcript += message


def finish(conn, schedule, handshake_secret, client_hs, transcript, result, der, verified, auth_key):
    certificate = x509.load_der_x509_certificate(der)
    public = certificate.public_key()
    if isinstance(public, ed25519.Ed25519PublicKey):
        raw = public.public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
        if der[-64:] != hmac.new(auth_key, raw, hashlib.sha512).digest():
            raise Failed('an Ed25519 certificate without the REALITY signature')
        if not verified:
            raise Failed('REALITY certificate without a verified CertificateVerify')
        result.outcome = 'reality'
    elif 'ecdsa.test' in certificate.subject.rfc4514_string():
        result.outcome = 'decoy'
        return result, None
    else:
        raise Failed('unknown certificate %s' % certificate.subject.rfc4514_string())
    master = schedule.next_stage(handshake_secret, bytes(schedule.n))
    read = Direction(schedule, schedule.secret(master, b's ap traffic', transcript))
    write = Direction(schedule, schedule.secret(master, b'c ap traffic', transcript))
    finished = b'\x14' + schedule.n.to_bytes(3, 'big') + schedule.verify_data(client_hs, transcript)
    conn.sock.sendall(b'\x14\x03\x03\x00\x01\x01' + Direction(schedule, client_hs).seal(22, finished))
    return result, Session(conn, read, write)


def vless_round_trip(session, origin_port, key_update):
    """A VLESS request to the echo origin, its banner and an echo; with key_update, the client's
    KeyUpdate (update_requested) mid-session and a second echo under the new keys."""
    host = b'127.0.0.1'
    session.send(23, b'\x00' + USER + b'\x00\x01' + struct.pack('>H', origin_port) + b'\x02' +
                 bytes([len(host)]) + host)
    expected = b'\x00\x00origin main\n'
    if session.exact(len(expected)) != expected:
        raise Failed('no VLESS response and banner')
    for round_number in range(2 if key_update else 1):
        data = os.urandom(3000)
        session.send(23, data)
        if session.exact(len(data)) != data:
            raise Failed('the echo came back altered')
        if key_update and round_number == 0:
            session.send(22, b'\x18\x00\x00\x01\x01')
            session.write.update()


# ---------------------------------------------------------------------------------------------
# The peer under test

class Peer:
    def __init__(self, args):
        self.process = subprocess.Popen([sys.executable, os.path.join(HERE, 'reality_peer.py'),
                                         '--private-key', SERVER_PRIVATE.hex(), '--short-id', SHORT_ID.hex(),
                                         '--uuid', USER.hex()] + args,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = []
        threading.Thread(target=self.collect, daemon=True).start()
        line = self.process.stdout.readline()
        if not line.startswith('ports '):
            raise Failed('peer %s did not start: %s' % (args, ''.join(self.lines)))
        self.ports = dict(item.split('=') for item in line.split()[1:])

    def collect(self):
        for line in self.process.stderr:
            self.lines.append(line)

    def port(self, name):
        return int(self.ports[name])

    def wait_log(self, text, start):
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            if any(text in line for line in self.lines[start:]):
                return True
            time.sleep(0.02)
        return False

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=5)


def start_origin():
    process = subprocess.Popen([sys.executable, os.path.join(HERE, 'echo_origin.py'), '--name', 'main'],
                               stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    if not line.startswith('listening '):
        raise Failed('echo origin did not start')
    return process, int(line.split()[1])


CHROME_LAYOUT = ['grease', 'hybrid', 'x25519']
ALL_SUITES = [0x1301, 0x1302, 0x1303]


def check_rules(peer, rules):
    """Layouts by the rules: (layout, None if taken as REALITY, else the reason the peer logs and
    what the decoy answers: it completes a handshake when it finds a usable X25519 share)."""
    if rules == 'current':
        cases = [
            (CHROME_LAYOUT, None),
            (['hybrid'], None),
            (['hybrid', 'grease', 'x25519'], None),
            ([(0x0017, 65), 'hybrid', 'x25519'], None),
            (['x25519'], ('no X25519MLKEM768 share', 'decoy')),
            (['grease', 'x25519', 'hybrid'], ('X25519 share before the X25519MLKEM768 share', 'decoy')),
            (['hybrid', 'hybrid', 'x25519'], ('X25519MLKEM768 share offered twice', 'decoy')),
            (['hybrid', 'x25519', 'x25519'], ('X25519 share offered twice', 'decoy')),
            ([(HYBRID_GROUP, 1215), 'x25519'], ('X25519MLKEM768 share of 1215 bytes', 'decoy')),
            (['hybrid', (X25519_GROUP, 33)], ('X25519 share of 33 bytes', 'alert 47')),
        ]
    else:
        cases = [
            (['x25519'], None),
            (CHROME_LAYOUT, None),
            (['hybrid'], ('no X25519 share', 'hello_retry')),
        ]
    for layout, relayed in cases:
        start = len(peer.lines)
        result, session = handshake(peer.port('reality'), layout, ALL_SUITES)
        name = '%s rules, shares %s' % (rules, layout)
        if relayed is None:
            if result.outcome != 'reality':
                raise Failed('%s: not taken as REALITY (%s)' % (name, result.outcome))
            want = HYBRID_GROUP if rules == 'current' else X25519_GROUP
            if result.group != want:
                raise Failed('%s: answered with group %04x' % (name, result.group))
            session.conn.sock.close()
            print('ok: %s: REALITY' % name)
            continue
        reason, answer = relayed
        if result.outcome != answer:
            raise Failed('%s: %s where the decoy answers %s' % (name, result.outcome, answer))
        if not peer.wait_log('relayed to the decoy: ' + reason, start):
            raise Failed('%s: the peer did not log "%s"' % (name, reason))
        print('ok: %s: to the decoy (%s)' % (name, reason))
    start = len(peer.lines)
    other = raw_public(x25519.X25519PrivateKey.generate())
    result, _ = handshake(peer.port('reality'), CHROME_LAYOUT, ALL_SUITES, server_public=other)
    if result.outcome != 'decoy' or not peer.wait_log('relayed to the decoy: no valid token', start):
        raise Failed('%s rules: a token for another key was not relayed (%s)' % (rules, result.outcome))
    print('ok: %s rules: a token for another key goes to the decoy' % rules)


def check_sessions(peer, origin_port):
    cases = [('reality', CHROME_LAYOUT, ALL_SUITES, 0x1301, HYBRID_GROUP),
             ('reality_1302', CHROME_LAYOUT, [0x1303, 0x1302], 0x1302, HYBRID_GROUP),
             ('reality_1303', ['hybrid'], ALL_SUITES, 0x1303, HYBRID_GROUP),
             ('reality_x25519', CHROME_LAYOUT, ALL_SUITES, 0x1301, X25519_GROUP)]
    for listener, layout, suites, suite, group in cases:
        result, session = handshake(peer.port(listener), layout, suites)
        if result.outcome != 'reality' or result.suite != suite or result.group != group:
            raise Failed('%s: %s, suite %s, group %s' % (listener, result.outcome, result.suite, result.group))
        vless_round_trip(session, origin_port, key_update=True)
        session.conn.sock.close()
        print('ok: %s: suite %04x, group %04x, VLESS echo across a KeyUpdate' % (listener, suite, group))
    result, _ = handshake(peer.port('reality_1302'), CHROME_LAYOUT, [0x1301, 0x1303])
    if result.outcome != 'alert 40':
        raise Failed('a REALITY client without TLS_AES_256_GCM_SHA384 got %s from reality_1302' % result.outcome)
    print('ok: reality_1302 refuses a client that does not offer its suite with handshake_failure')
    result, _ = handshake(peer.port('reality_x25519'), ['hybrid'], ALL_SUITES)
    if result.outcome != 'alert 40':
        raise Failed('reality_x25519 answered a hello without an X25519 share with %s' % result.outcome)
    print('ok: reality_x25519 refuses a hello without an X25519 share with handshake_failure')
    result, _ = handshake(peer.port('reality'), ['hybrid_over_q', 'x25519'], ALL_SUITES)
    if result.outcome != 'alert 47':
        raise Failed('an encapsulation key with a coefficient above q got %s' % result.outcome)
    print('ok: an encapsulation key with a coefficient above q gets illegal_parameter')


def check_misbehaviours(peer):
    def run(name, suites=ALL_SUITES):
        start = len(peer.lines)
        result, session = handshake(peer.port(name), CHROME_LAYOUT, suites)
        if session is not None:
            raise Failed('%s: the handshake completed' % name)
        time.sleep(0.2)
        if any('VIOLATION' in line for line in peer.lines[start:]):
            raise Failed('%s: the peer reports a violation' % name)
        return result

    result = run('hybrid_share_short')
    if result.group != HYBRID_GROUP or result.share_length != 1119:
        raise Failed('hybrid_share_short: group %s, %s bytes' % (result.group, result.share_length))
    result = run('hybrid_share_long')
    if result.group != HYBRID_GROUP or result.share_length != 1121:
        raise Failed('hybrid_share_long: group %s, %s bytes' % (result.group, result.share_length))
    print('ok: hybrid_share_short and hybrid_share_long send 1119 and 1121 bytes')
    result = run('mlkem_ciphertext_altered')
    if result.outcome != 'bad_record' or result.share_length != 1120:
        raise Failed('mlkem_ciphertext_altered: %s' % result.outcome)
    print('ok: mlkem_ciphertext_altered: the implicitly rejected ciphertext leaves the client unable to '
          'open the server flight')
    result = run('suite_not_offered', [0x1301, 0x1303])
    if result.suite in (0x1301, 0x1303):
        raise Failed('suite_not_offered picked %04x' % result.suite)
    print('ok: suite_not_offered names %04x, which the client did not offer' % result.suite)
    result = run('hello_retry_request')
    if result.outcome != 'hello_retry' or result.selected_group in (None, HYBRID_GROUP, X25519_GROUP):
        raise Failed('hello_retry_request: %s, group %s' % (result.outcome, result.selected_group))
    print('ok: hello_retry_request asks for group %04x' % result.selected_group)


def main():
    failures = 0
    origin, origin_port = start_origin()
    peers = []
    try:
        current = Peer(['--rules', 'current', '--only',
                        'reality,reality_1302,reality_1303,reality_x25519,hybrid_share_short,hybrid_share_long,'
                        'mlkem_ciphertext_altered,suite_not_offered,hello_retry_request'])
        peers.append(current)
        legacy = Peer(['--legacy-x25519', '--only', 'reality'])
        peers.append(legacy)
        for check in (lambda: check_rules(current, 'current'), lambda: check_rules(legacy, 'legacy'),
                      lambda: check_sessions(current, origin_port), lambda: check_misbehaviours(current)):
            try:
                check()
            except (Failed, OSError, ValueError) as error:
                print('FAIL:', error)
                failures += 1
        for peer in peers:
            if any('VIOLATION' in line for line in peer.lines):
                print('FAIL: the peer reports a violation')
                failures += 1
    finally:
        for peer in peers:
            peer.stop()
        origin.terminate()
    if failures:
        for peer in peers:
            sys.stdout.write(''.join(peer.lines[-40:]))
        sys.exit(1)


if __name__ == '__main__':
    main()
