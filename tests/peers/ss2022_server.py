#!/usr/bin/python3
"""A Shadowsocks 2022 TCP test server, method 2022-blake3-aes-128-gcm.

Written from the protocol's public description; it shares no code with the client under test.

  session subkey  = BLAKE3 derive_key("shadowsocks 2022 session subkey", PSK || salt)[:16]
  identity subkey = BLAKE3 derive_key("shadowsocks 2022 identity subkey", iPSK || salt)[:16]
  AEAD            = AES-128-GCM, 12-byte little-endian counter nonce from 0, no associated data

Client -> server: salt(16) [identity header(16)] seal(type 0, timestamp u64, varlen u16)
                  seal(atyp, address, port u16, padding length u16, padding, initial payload)
                  then chunks: seal(length u16) seal(payload)
Server -> client: salt(16) seal(type 1, timestamp u64, request salt(16), length u16)
                  seal(first payload) then chunks as above

Only listens on 127.0.0.1 and only connects to loopback destinations. Host names reach origins
through --map NAME[:PORT]=ADDRESS[:PORT] (an entry with a port applies to that port only; without
a target port the requested one is kept). --delay-ms holds every request that long before the
destination is connected, as a distant node would. The first line on stdout is "listening PORT"; later lines report
each connection ("connect HOST PORT ADDRESS", "reject REASON"). SIGTERM or SIGINT stops it.

Switches that misbehave on purpose (--misbehave):
  bad-salt-echo       the response echoes a request salt with one byte changed
  wrong-type          the response header carries type 0 instead of 1
  corrupt-header-tag  the response header's tag is damaged
  corrupt-data-tag    the first data chunk after the response header has a damaged length tag
  truncated-zero-chunk
                      after the first payload, a chunk whose length is 0 with its sealed
                      (empty) payload left out, so the bytes that follow cannot authenticate
  early-close         closes after reading the request, before any response
--timestamp-offset adds seconds to the response timestamp; --chunk-size with --fill-chunks
sends chunks of exactly that size whenever the origin has enough data.

Legal forms a client must accept, as real servers send them (an empty payload is always sealed:
its 16-byte tag follows the length, and each seal takes one nonce):
  --empty-first-payload  the response header announces a first payload of length 0 (followed by
                         its sealed empty payload); all data follows in chunks
  --zero-chunks          the first payload is a single byte, and every data chunk is followed
                         by a chunk of length 0
"""

import argparse
import base64
import ipaddress
import os
import select
import signal
import socket
import socketserver
import struct
import subprocess
import sys
import threading
import time

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

SESSION_CONTEXT = "shadowsocks 2022 session subkey"
IDENTITY_CONTEXT = "shadowsocks 2022 identity subkey"
SALT_SIZE = 16
TAG_SIZE = 16
MAX_CHUNK = 0xFFFF
TIME_WINDOW = 30
REPLAY_WINDOW = 60
TYPE_REQUEST = 0
TYPE_RESPONSE = 1

MISBEHAVIOURS = ("bad-salt-echo", "wrong-type", "corrupt-header-tag", "corrupt-data-tag",
                 "truncated-zero-chunk", "early-close")

print_lock = threading.Lock()


def report(line):
    with print_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def b3sum(args, data):
    done = subprocess.run(["b3sum", "--no-names", "--raw"] + args, input=data,
                          capture_output=True, check=True)
    return done.stdout[:32]


def derive_key(context, material):
    return b3sum(["--derive-key", context], material)


def blake3_hash(data):
    return b3sum([], data)


class protected_direction:
    """One direction of the AEAD chunk stream: key plus its counter nonce."""

    def __init__(self, psk, salt):
        self.aead = AESGCM(derive_key(SESSION_CONTEXT, psk + salt)[:16])
        self.counter = 0

    def _nonce(self):
        nonce = self.counter.to_bytes(12, "little")
        self.counter += 1
        return nonce

    def seal(self, plain):
        return self.aead.encrypt(self._nonce(), plain, None)

    def open(self, sealed):
        return self.aead.decrypt(self._nonce(), sealed, None)


class rejected(Exception):
    pass


def recv_exact(sock, n):
    data = bytearray()
    while len(data) < n:
        part = sock.recv(n - len(data))
        if not part:
            raise rejected("short read (%d of %d bytes)" % (len(data), n))
        data += part
    return bytes(data)


class replay_filter:
    def __init__(self):
        self.lock = threading.Lock()
        self.seen = {}

    def first_use(self, salt):
        now = time.monotonic()
        with self.lock:
            for old in [s for s, t in self.seen.items() if now - t > REPLAY_WINDOW]:
                del self.seen[old]
            if salt in self.seen:
                return False
            self.seen[salt] = now
            return True


def parse_address(reader):
    """reader: bytes of the variable header. Returns (host, port, rest)."""
    if len(reader) < 1:
        raise rejected("empty variable header")
    atyp = reader[0]
    pos = 1
    if atyp == 1:
        if len(reader) < pos + 4:
            raise rejected("truncated IPv4 address")
        host = str(ipaddress.IPv4Address(reader[pos:pos + 4]))
        pos += 4
    elif atyp == 3:
        if len(reader) < pos + 1:
            raise rejected("truncated host length")
        length = reader[pos]
        pos += 1
        if length == 0 or len(reader) < pos + length:
            raise rejected("bad host length")
        host = reader[pos:pos + length].decode("utf-8", "replace")
        pos += length
    elif atyp == 4:
        if len(reader) < pos + 16:
            raise rejected("truncated IPv6 address")
        host = str(ipaddress.IPv6Address(reader[pos:pos + 16]))
        pos += 16
    else:
        raise rejected("unknown address type %d" % atyp)
    if len(reader) < pos + 4:
        raise rejected("truncated port or padding length")
    port, padding_length = struct.unpack(">HH", reader[pos:pos + 4])
    pos += 4
    if len(reader) < pos + padding_length:
        raise rejected("truncated padding")
    pos += padding_length
    payload = reader[pos:]
    if padding_length == 0 and not payload:
        raise rejected("neither padding nor initial payload")
    return host, port, payload


class server_config:
    def __init__(self, args):
        self.users = {}  # first 16 bytes of BLAKE3(user PSK) -> user PSK
        self.identity_psk = None
        if args.ipsk is not None:
            self.identity_psk = decode_key(args.ipsk)
            if not args.user:
                raise SystemExit("--ipsk needs at least one --user")
            for text in args.user:
                psk = decode_key(text)
                self.users[blake3_hash(psk)[:16]] = psk
            self.single_psk = None
        else:
            if args.psk is None:
                raise SystemExit("give --psk, or --ipsk with --user")
            self.single_psk = decode_key(args.psk)
        self.map = {}  # (name, port or None) -> (address, port or None)
        for item in args.map:
            name, sep, address = item.partition("=")
            if not sep:
                raise SystemExit("--map wants NAME[:PORT]=ADDRESS[:PORT]")
            self.map[split_port(name.lower())] = split_port(address)
        self.delay = args.delay_ms / 1000.0
        self.misbehave = args.misbehave
        self.empty_first_payload = args.empty_first_payload
        self.zero_chunks = args.zero_chunks
        self.timestamp_offset = args.timestamp_offset
        self.chunk_size = args.chunk_size
        self.fill_chunks = args.fill_chunks
        self.drain_seconds = args.drain_seconds
        self.replay = replay_filter()


def decode_key(text):
    key = base64.b64decode(text)
    if len(key) != 16:
        raise SystemExit("keys are 16 bytes (Base64)")
    return key


def split_port(text):
    """NAME:PORT -> (NAME, PORT); NAME (or a bracketed IPv6 literal) -> (NAME, None)."""
    head, sep, tail = text.rpartition(":")
    if sep and tail.isdigit() and "]" not in tail and (head.endswith("]") or ":" not in head):
        return head.strip("[]"), int(tail)
    return text.strip("[]"), None


def resolve_destination(cfg, host, port):
    """The mapped (address, port) for a request; a NAME:PORT entry wins over a NAME entry."""
    key = host.lower()
    address, mapped_port = cfg.map.get((key, port)) or cfg.map.get((key, None)) or (host, None)
    try:
        ip = ipaddress.ip_address(address)
    except ValueError:
        raise rejected("no mapping for host %s" % host)
    if not ip.is_loopback:
        raise rejected("destination %s is not a loopback address" % address)
    return str(ip), mapped_port or port


class connection:
    def __init__(self, cfg, client):
        self.cfg = cfg
        self.client = client
        self.origin = None

    def read_request(self):
        cfg = self.cfg
        salt = recv_exact(self.client, SALT_SIZE)
        if cfg.identity_psk is not None:
            identity = recv_exact(self.client, 16)
            subkey = derive_key(IDENTITY_CONTEXT, cfg.identity_psk + salt)[:16]
            decryptor = Cipher(algorithms.AES(subkey), modes.ECB()).decryptor()
            user_hash = decryptor.update(identity) + decryptor.finalize()
            psk = cfg.users.get(user_hash)
            if psk is None:
                raise rejected("unknown user identity")
        else:
            psk = cfg.single_psk
        incoming = protected_direction(psk, salt)
        try:
            fixed = incoming.open(recv_exact(self.client, 11 + TAG_SIZE))
        except InvalidTag:
            raise rejected("request header authentication failed")
        kind, timestamp, variable_length = struct.unpack(">BQH", fixed)
        if kind != TYPE_REQUEST:
            raise rejected("request type %d" % kind)
        if abs(int(time.time()) - timestamp) > TIME_WINDOW:
            raise rejected("stale timestamp")
        # A salt counts as used once it has authenticated, so noise cannot block real clients.
        if not cfg.replay.first_use(salt):
            raise rejected("replayed salt")
        try:
            variable = incoming.open(recv_exact(self.client, variable_length + TAG_SIZE))
        except InvalidTag:
            raise rejected("variable header authentication failed")
        host, port, payload = parse_address(variable)
        return psk, salt, incoming, host, port, payload

    def run(self):
        try:
            try:
                psk, salt, incoming, host, port, payload = self.read_request()
            except rejected as reason:
                report("reject %s" % reason)
                self.drain()
                return
            if self.cfg.misbehave == "early-close":
                report("early-close %s %d" % (host, port))
                return
            if self.cfg.delay:
                time.sleep(self.cfg.delay)
            try:
                address, origin_port = resolve_destination(self.cfg, host, port)
                self.origin = socket.create_connection((address, origin_port), timeout=5)
                self.origin.settimeout(None)
            except (rejected, OSError) as reason:
                report("reject destination %s %d: %s" % (host, port, reason))
                return
            report("connect %s %d %s" % (host, port, address))
            if payload:
                self.origin.sendall(payload)
            upstream = threading.Thread(target=self.client_to_origin, args=(incoming,),
                                        daemon=True)
            upstream.start()
            self.origin_to_client(psk, salt)
            upstream.join()
        except OSError:
            pass
        finally:
            for sock in (self.client, self.origin):
                if sock is not None:
                    try:
                        sock.close()
                    except OSError:
                        pass

    def drain(self):
        """What a real server does with a failed request: keep reading for a while, then close."""
        deadline = time.monotonic() + self.cfg.drain_seconds
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    return
                ready, _, _ = select.select([self.client], [], [], left)
                if ready and not self.client.recv(65536):
                    return
        except OSError:
            return

    def client_to_origin(self, incoming):
        try:
            while True:
                try:
                    sealed_length = recv_exact(self.client, 2 + TAG_SIZE)
                except rejected:
                    break
                (length,) = struct.unpack(">H", incoming.open(sealed_length))
                # A chunk of length 0 still carries its sealed empty payload.
                payload = incoming.open(recv_exact(self.client, length + TAG_SIZE))
                if payload:
                    self.origin.sendall(payload)
            self.origin.shutdown(socket.SHUT_WR)
        except (rejected, InvalidTag, OSError) as reason:
            if not isinstance(reason, OSError):
                report("reject stream %s" % reason)
            shut_both(self.client)
            shut_both(self.origin)

    def read_origin(self):
        limit = self.cfg.chunk_size
        data = self.origin.recv(limit)
        if not data or not self.cfg.fill_chunks:
            return data
        data = bytearray(data)
        while len(data) < limit:
            ready, _, _ = select.select([self.origin], [], [], 0.2)
            if not ready:
                break
            more = self.origin.recv(limit - len(data))
            if not more:
                break
            data += more
        return bytes(data)

    def origin_to_client(self, psk, request_salt):
        cfg = self.cfg
        server_salt = os.urandom(SALT_SIZE)
        outgoing = protected_direction(psk, server_salt)
        pending = b""  # origin data read ahead of the first payload
        if cfg.empty_first_payload:
            first = b""
        else:
            first = self.read_origin()
            if cfg.zero_chunks and len(first) > 1:
                first, pending = first[:1], first[1:]
        kind = 0 if cfg.misbehave == "wrong-type" else TYPE_RESPONSE
        echo = request_salt
        if cfg.misbehave == "bad-salt-echo":
            echo = bytes([echo[0] ^ 0x01]) + echo[1:]
        timestamp = int(time.time()) + cfg.timestamp_offset
        header = outgoing.seal(struct.pack(">BQ", kind, timestamp) + echo +
                               struct.pack(">H", len(first)))
        if cfg.misbehave == "corrupt-header-tag":
            header = header[:-1] + bytes([header[-1] ^ 0x80])
        # The first payload is sealed even when it is empty.
        message = server_salt + header + outgoing.seal(first)
        if cfg.misbehave == "truncated-zero-chunk":
            message += outgoing.seal(struct.pack(">H", 0))
        if cfg.zero_chunks:
            message += self.zero_chunk(outgoing)
        self.client.sendall(message)
        if first == b"" and not cfg.empty_first_payload:
            shut_both(self.client)  # the origin closed without a byte
            return
        damage_next = cfg.misbehave == "corrupt-data-tag"
        while True:
            data, pending = (pending, b"") if pending else (self.read_origin(), b"")
            if not data:
                break
            sealed_length = outgoing.seal(struct.pack(">H", len(data)))
            if damage_next:
                sealed_length = sealed_length[:-1] + bytes([sealed_length[-1] ^ 0x80])
                damage_next = False
            out = sealed_length + outgoing.seal(data)
            if cfg.zero_chunks:
                out += self.zero_chunk(outgoing)
            self.client.sendall(out)
        self.client.shutdown(socket.SHUT_WR)

    @staticmethod
    def zero_chunk(outgoing):
        return outgoing.seal(struct.pack(">H", 0)) + outgoing.seal(b"")


def shut_both(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class ss_server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, port, cfg):
        self.cfg = cfg
        self.active = set()
        self.active_lock = threading.Lock()
        super().__init__((address, port), None)

    def finish_request(self, request, client_address):
        with self.active_lock:
            self.active.add(request)
        try:
            connection(self.cfg, request).run()
        finally:
            with self.active_lock:
                self.active.discard(request)

    def close_all(self):
        with self.active_lock:
            for sock in list(self.active):
                shut_both(sock)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--bind", default="127.0.0.1", help="IPv4 address to listen on")
    parser.add_argument("--psk", help="single-user pre-shared key (Base64, 16 bytes)")
    parser.add_argument("--ipsk", help="identity pre-shared key for multi-user mode")
    parser.add_argument("--user", action="append", default=[], help="a user's key (multi-user)")
    parser.add_argument("--map", action="append", default=[], help="NAME[:PORT]=ADDRESS[:PORT]")
    parser.add_argument("--delay-ms", type=int, default=0,
                        help="wait this long before connecting to each destination")
    parser.add_argument("--misbehave", choices=MISBEHAVIOURS)
    parser.add_argument("--timestamp-offset", type=int, default=0)
    parser.add_argument("--chunk-size", type=int, default=16384)
    parser.add_argument("--fill-chunks", action="store_true")
    parser.add_argument("--empty-first-payload", action="store_true")
    parser.add_argument("--zero-chunks", action="store_true")
    parser.add_argument("--drain-seconds", type=float, default=1.0)
    args = parser.parse_args()
    if not 1 <= args.chunk_size <= MAX_CHUNK:
        raise SystemExit("--chunk-size must be 1..65535")
    cfg = server_config(args)

    server = ss_server(args.bind, args.port, cfg)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                               daemon=True)
    serving.start()
    report("listening %d" % server.server_address[1])
    while not stop.wait(0.5):
        pass
    server.shutdown()
    server.close_all()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
