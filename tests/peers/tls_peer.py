#!/usr/bin/env python3
"""TLS servers for the TLS client's contract tests, one port per behaviour.

Each server drives Python's ssl module through memory buffers and does its own socket I/O, so it
decides what leaves in which TCP segment (data together with the last handshake flight, a
close_notify while TCP stays open, a corrupted record). With --make-certs it writes the test
certificates instead: a CA, a leaf for localhost/node.test/127.0.0.1/::1 signed by it, an expired
leaf, and a leaf from a CA nobody trusts.

Serving prints one line "ports NAME=PORT ..." once every listener is up.
"""
import argparse
import datetime
import os
import socket
import ssl
import sys
import threading


def make_certs(directory):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID
    import ipaddress

    now = datetime.datetime.now(datetime.timezone.utc)

    def name(common):
        return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common)])

    def write_key(key, path):
        with open(path, 'wb') as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))

    def sign(builder, key):
        # Wine's chain check refuses an ECDSA signature whose r or s is shorter than the key
        # (about one in 128 signatures); Windows takes them. Sign again until both fill 32 bytes,
        # so the certificates test the client and not that fault.
        from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
        while True:
            cert = builder.sign(key, hashes.SHA256())
            r, s = decode_dss_signature(cert.signature)
            if r >= 1 << 248 and s >= 1 << 248:
                return cert

    def write_cert(cert, path):
        with open(path, 'wb') as f:
            f.write(cert.public_bytes(serialization.Encoding.PEM))

    def ca(common):
        key = ec.generate_private_key(ec.SECP256R1())
        cert = (x509.CertificateBuilder().subject_name(name(common)).issuer_name(name(common))
                .public_key(key.public_key()).serial_number(x509.random_serial_number())
                .not_valid_before(now - datetime.timedelta(days=1))
                .not_valid_after(now + datetime.timedelta(days=30))
                .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False,
                                             False), critical=True))
        return key, sign(cert, key)

    def leaf(issuer_key, issuer_cert, before, after):
        key = ec.generate_private_key(ec.SECP256R1())
        sans = [x509.DNSName('localhost'), x509.DNSName('node.test'),
                x509.IPAddress(ipaddress.ip_address('127.0.0.1')),
                x509.IPAddress(ipaddress.ip_address('::1'))]
        cert = (x509.CertificateBuilder().subject_name(name('node.test'))
                .issuer_name(issuer_cert.subject).public_key(key.public_key())
                .serial_number(x509.random_serial_number())
                .not_valid_before(before).not_valid_after(after)
                .add_extension(x509.SubjectAlternativeName(sans), critical=False)
                .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
                .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]),
                               critical=False))
        return key, sign(cert, issuer_key)

    os.makedirs(directory, exist_ok=True)
    ca_key, ca_cert = ca('pelto test CA')
    write_cert(ca_cert, os.path.join(directory, 'ca.pem'))
    key, cert = leaf(ca_key, ca_cert, now - datetime.timedelta(days=1),
                     now + datetime.timedelta(days=30))
    write_key(key, os.path.join(directory, 'leaf.key'))
    write_cert(cert, os.path.join(directory, 'leaf.pem'))
    key, cert = leaf(ca_key, ca_cert, now - datetime.timedelta(days=30),
                     now - datetime.timedelta(days=2))
    write_key(key, os.path.join(directory, 'expired.key'))
    write_cert(cert, os.path.join(directory, 'expired.pem'))
    other_key, other_cert = ca('untrusted test CA')
    key, cert = leaf(other_key, other_cert, now - datetime.timedelta(days=1),
                     now + datetime.timedelta(days=30))
    write_key(key, os.path.join(directory, 'untrusted.key'))
    write_cert(cert, os.path.join(directory, 'untrusted.pem'))


def client_hello_server_name(data):
    """The server_name bytes of a ClientHello at the start of `data`, or None."""
    try:
        at = 5 + 4 + 2 + 32
        at += 1 + data[at]
        at += 2 + int.from_bytes(data[at:at + 2], 'big')
        at += 1 + data[at]
        end = at + 2 + int.from_bytes(data[at:at + 2], 'big')
        at += 2
        while at + 4 <= end:
            kind = int.from_bytes(data[at:at + 2], 'big')
            length = int.from_bytes(data[at + 2:at + 4], 'big')
            if kind == 0:
                name_length = int.from_bytes(data[at + 7:at + 9], 'big')
                return data[at + 9:at + 9 + name_length]
            at += 4 + length
    except IndexError:
        pass
    return None


class connection:
    def __init__(self, sock, context):
        self.sock = sock
        self.first = True
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)

    def flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError()
        if self.first:
            # Tests read the server name the client sent from this output.
            self.first = False
            name = client_hello_server_name(data)
            print('sni %s' % (name.hex() if name is not None else 'none'), flush=True)
        self.incoming.write(data)

    def handshake(self):
        while True:
            try:
                self.tls.do_handshake()
                return
            except ssl.SSLWantReadError:
                self.flush()
                self.fill()

    def read_some(self):
        while True:
            try:
                return self.tls.read(65536)
            except ssl.SSLWantReadError:
                self.flush()
                self.fill()

    def write(self, data):
        self.tls.write(data)
        self.flush()

    def close_notify(self):
        try:
            self.tls.unwrap()
        except (ssl.SSLWantReadError, ssl.SSLError):
            pass
        self.flush()

    def wait_for_peer_close(self, seconds=30):
        self.sock.settimeout(seconds)
        try:
            while self.sock.recv(65536):
                pass
        except OSError:
            pass


def echo(c):
    while True:
        try:
            data = c.read_some()
        except (EOFError, ssl.SSLZeroReturnError, ConnectionError):
            return
        if not data:
            return
        c.write(data)


def serve_records(c, total):
    """Reports the plaintext size of each record the client sent, once `total` bytes came."""
    raw = bytearray(c.incoming.read())
    sizes = []
    received = 0
    while received < total:
        while len(raw) < 5 or len(raw) < 5 + int.from_bytes(raw[3:5], 'big'):
            data = c.sock.recv(65536)
            if not data:
                return
            raw += data
        length = 5 + int.from_bytes(raw[3:5], 'big')
        c.incoming.write(bytes(raw[:length]))
        del raw[:length]
        size = 0
        while True:
            try:
                size += len(c.tls.read(65536))
            except ssl.SSLWantReadError:
                break
        if size:
            sizes.append(size)
            received += size
    c.write((','.join(str(s) for s in sizes) + '\n').encode())
    c.wait_for_peer_close()


def corrupt_record(c):
    """Sends one good record, then a record whose ciphertext was altered, and keeps TCP open."""
    c.write(b'good record')
    c.tls.write(b'this record will not decrypt')
    record = bytearray(c.outgoing.read())
    record[-1] ^= 0x55
    c.sock.sendall(bytes(record))
    c.wait_for_peer_close()


def unmask(data, mask):
    n = len(data)
    key = (mask * (n // 4 + 1))[:n]
    return (int.from_bytes(data, 'big') ^ int.from_bytes(key, 'big')).to_bytes(n, 'big')


def server_frame(opcode, payload, fin=True, mask=None):
    head = bytes([(0x80 if fin else 0) | opcode])
    n = len(payload)
    bit = 0x80 if mask else 0
    if n <= 125:
        head += bytes([bit | n])
    elif n <= 0xFFFF:
        head += bytes([bit | 126]) + n.to_bytes(2, 'big')
    else:
        head += bytes([bit | 127]) + n.to_bytes(8, 'big')
    if mask:
        return head + mask + unmask(payload, mask)
    return head + payload


class ws_reader:
    """Client frames from the TLS plaintext; every one must be masked, whole and well-formed."""

    def __init__(self, c, pending):
        self.c = c
        self.buffer = bytearray(pending)

    def need(self, n):
        while len(self.buffer) < n:
            self.buffer += self.c.read_some()

    def frame(self):
        self.need(2)
        first, second = self.buffer[0], self.buffer[1]
        if not (first & 0x80) or first & 0x70 or not (second & 0x80):
            raise ValueError('client frame not FIN, with RSV bits, or unmasked: %02x %02x' % (first, second))
        n = second & 0x7F
        at = 2
        if n == 126:
            self.need(4)
            n = int.from_bytes(self.buffer[2:4], 'big')
            at = 4
        elif n == 127:
            raise ValueError('client sent a 64-bit length')
        self.need(at + 4 + n)
        mask = bytes(self.buffer[at:at + 4])
        payload = unmask(bytes(self.buffer[at + 4:at + 4 + n]), mask)
        del self.buffer[:at + 4 + n]
        return first & 0x0F, payload


def serve_websocket(c):
    request = b''
    while b'\r\n\r\n' not in request:
        request += c.read_some()
    head, _, rest = request.partition(b'\r\n\r\n')
    path = head.split(b' ')[1].decode()
    c.write(b'HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n'
            b'Sec-WebSocket-Accept: unchecked\r\n\r\n')
    frames = ws_reader(c, rest)
    if path == '/masked':
        c.write(server_frame(2, b'masked ', mask=b'\x11\x22\x33\x44') +
                server_frame(2, b'data', mask=b'\xa0\xb0\xc0\xd0') + server_frame(8, b''))
    elif path == '/fragments':
        c.write(server_frame(1, b'frag', fin=False) + server_frame(9, b'in between') +
                server_frame(0, b'', fin=False) + server_frame(0, b'ment', fin=True))
        opcode, payload = frames.frame()
        c.write(server_frame(2, b' pong ok' if (opcode, payload) == (10, b'in between') else b' no pong'))
        c.write(server_frame(8, b''))
    elif path == '/close':
        c.write(server_frame(2, b'bye') + server_frame(8, b'') + server_frame(2, b'after close'))
    elif path == '/oversized_ping':
        c.write(server_frame(2, b'before') + server_frame(9, b'p' * 126))
    elif path.startswith('/pings/'):
        # Echoes the client's data, with a ping of its own after every few frames; checks that
        # every frame arrives whole and that pongs answer pings in order (a client may skip
        # older ones, RFC 6455 5.5.3), up to the last ping.
        total = int(path.split('/')[2])
        echoed = 0
        sent_pings = 0
        answered = -1
        pongs = 0

        def take_pong(payload):
            nonlocal answered, pongs
            number = int(payload.split(b' ')[1])
            if not payload.startswith(b'ping ') or number <= answered or number >= sent_pings:
                raise ValueError('pong out of order: %r' % payload)
            answered = number
            pongs += 1

        while echoed < total:
            opcode, payload = frames.frame()
            if opcode == 10:
                take_pong(payload)
                continue
            if opcode != 2:
                raise ValueError('unexpected opcode %d' % opcode)
            echoed += len(payload)
            out = server_frame(2, payload)
            if echoed // 16384 % 3 == 0:
                out += server_frame(9, b'ping %d' % sent_pings)
                sent_pings += 1
            c.write(out)
        while answered < sent_pings - 1:
            opcode, payload = frames.frame()
            if opcode != 10:
                raise ValueError('unexpected opcode %d after the data' % opcode)
            take_pong(payload)
        c.write(server_frame(2, b'framing intact, %d pongs\n' % pongs))
    c.wait_for_peer_close()


def handle(sock, context, mode):
    c = connection(sock, context)
    try:
        c.handshake()
        if mode == 'greet':
            # The greeting joins our last handshake flight (or the TLS 1.3 tickets) in one send.
            c.tls.write(b'words sent with the handshake')
            c.flush()
            echo(c)
            return
        c.flush()
        if mode == 'echo':
            echo(c)
        elif mode == 'records':
            serve_records(c, 40000)
        elif mode in ('close_keep', 'close_fin'):
            c.tls.write(b'last words')
            c.close_notify()
            if mode == 'close_fin':
                sock.shutdown(socket.SHUT_WR)
            c.wait_for_peer_close()
        elif mode == 'hold':
            c.wait_for_peer_close(60)
        elif mode == 'corrupt':
            corrupt_record(c)
        elif mode == 'websocket':
            serve_websocket(c)
    except (EOFError, OSError, ssl.SSLError, ValueError) as e:
        sys.stderr.write('tls_peer %s: %s\n' % (mode, e))
    finally:
        sock.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--make-certs', metavar='DIR')
    parser.add_argument('--certs', metavar='DIR')
    args = parser.parse_args()
    if args.make_certs:
        make_certs(args.make_certs)
        return

    def context(cert, version):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(os.path.join(args.certs, cert + '.pem'),
                            os.path.join(args.certs, cert + '.key'))
        if version == '1.2':
            ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        else:
            ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1_3
        return ctx

    services = []
    for version in ('1.2', '1.3'):
        suffix = version.replace('.', '')
        for mode in ('echo', 'greet', 'records', 'close_keep', 'close_fin', 'hold', 'corrupt',
                     'websocket'):
            services.append((mode + suffix, 'leaf', version, mode))
        services.append(('expired' + suffix, 'expired', version, 'echo'))
        services.append(('untrusted' + suffix, 'untrusted', version, 'echo'))

    listeners = []
    for name, cert, version, mode in services:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if mode == 'websocket':
            # Small buffers (inherited by accepted sockets), as on systems with small defaults:
            # a client that stops reading while it writes soon stalls both directions.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 8192)
        s.bind(('127.0.0.1', 0))
        s.listen(16)
        listeners.append((name, s, context(cert, version), mode))

    def accept_loop(s, ctx, mode):
        while True:
            conn, _ = s.accept()
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=handle, args=(conn, ctx, mode), daemon=True).start()

    for name, s, ctx, mode in listeners:
        threading.Thread(target=accept_loop, args=(s, ctx, mode), daemon=True).start()
    print('ports ' + ' '.join('%s=%d' % (n, s.getsockname()[1]) for n, s, _, _ in listeners),
          flush=True)
    threading.Event().wait()


if __name__ == '__main__':
    main()
