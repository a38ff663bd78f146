#!/usr/bin/env python3
"""ML-KEM-768 (FIPS 203) in plain Python, for the test peers.

K-PKE key generation, encryption and decryption over the number-theoretic transform, and the KEM
on top: keygen_internal(d, z), encaps_internal(ek, m), decaps(dk, c) with implicit rejection, plus
keygen() and encaps(ek) drawing their randomness from os.urandom. Byte strings in, byte strings
out; a malformed key or ciphertext raises ValueError. Written for clarity at test speed (one
encapsulation takes a few tens of milliseconds in CPython), not for constant time.

Run as a program with --self-test to check it against NIST's vectors in crypto/testdata/ml-kem-768/.
"""
import hashlib
import json
import os
import sys

Q = 3329
N = 256
K = 3
ETA1 = 2
ETA2 = 2
DU = 10
DV = 4

EK_SIZE = 384 * K + 32          # 1184
DK_SIZE = 768 * K + 96          # 2400
CIPHERTEXT_SIZE = 32 * (DU * K + DV)  # 1088
SHARED_SECRET_SIZE = 32


def bit_reverse7(i):
    return int('{:07b}'.format(i)[::-1], 2)


# zeta = 17 is a primitive 256th root of unity mod q; the transforms walk its powers in
# bit-reversed order, the base-case products use the odd powers 17^(2 BitRev7(i) + 1).
ZETAS = [pow(17, bit_reverse7(i), Q) for i in range(128)]
GAMMAS = [pow(17, 2 * bit_reverse7(i) + 1, Q) for i in range(128)]
INVERSE_128 = 3303  # 128^-1 mod q


# ---------------------------------------------------------------------------------------------
# Hash functions

def hash_h(data):
    return hashlib.sha3_256(data).digest()


def hash_g(data):
    out = hashlib.sha3_512(data).digest()
    return out[:32], out[32:]


def hash_j(data):
    return hashlib.shake_256(data).digest(32)


def prf(eta, seed, nonce):
    return hashlib.shake_256(seed + bytes([nonce])).digest(64 * eta)


# ---------------------------------------------------------------------------------------------
# Encodings (FIPS 203 section 4.2.1)

def byte_encode(d, values):
    """256 integers of d bits each, packed least significant bit first."""
    acc, bits, out = 0, 0, bytearray()
    mask = (1 << d) - 1
    for v in values:
        acc |= (v & mask) << bits
        bits += d
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    return bytes(out)


def byte_decode(d, data):
    """The inverse of byte_encode; for d = 12 each value is reduced mod q."""
    if len(data) != 32 * d:
        raise ValueError('ByteDecode%d wants %d bytes, got %d' % (d, 32 * d, len(data)))
    value = int.from_bytes(data, 'little')
    mask = (1 << d) - 1
    out = [(value >> (d * i)) & mask for i in range(N)]
    if d == 12:
        out = [x % Q for x in out]
    return out


def compress(d, poly):
    return [(((x << d) + Q // 2) // Q) & ((1 << d) - 1) for x in poly]


def decompress(d, poly):
    half = 1 << (d - 1)
    return [(y * Q + half) >> d for y in poly]


# ---------------------------------------------------------------------------------------------
# Sampling (FIPS 203 section 4.2.2)

def sample_ntt(seed34):
    """A uniform polynomial in the NTT domain from SHAKE128(rho || j || i), by rejection."""
    length = 504
    while True:
        stream = hashlib.shake_128(seed34).digest(length)
        out = []
        for p in range(0, length - 2, 3):
            b0, b1, b2 = stream[p], stream[p + 1], stream[p + 2]
            d1 = b0 | ((b1 & 0x0F) << 8)
            d2 = (b1 >> 4) | (b2 << 4)
            if d1 < Q:
                out.append(d1)
            if d2 < Q:
                out.append(d2)
            if len(out) >= N:
                return out[:N]
        length += 168  # one more SHAKE128 block; the stream's prefix is the same


def sample_cbd(eta, data):
    """Centred binomial distribution from 64 * eta bytes."""
    if len(data) != 64 * eta:
        raise ValueError('CBD input length')
    bits = int.from_bytes(data, 'little')
    out = []
    for i in range(N):
        chunk = bits >> (2 * eta * i)
        x = bin(chunk & ((1 << eta) - 1)).count('1')
        y = bin((chunk >> eta) & ((1 << eta) - 1)).count('1')
        out.append((x - y) % Q)
    return out


# ---------------------------------------------------------------------------------------------
# Arithmetic in the NTT domain (FIPS 203 section 4.3)

def ntt(poly):
    f = list(poly)
    i = 1
    length = 128
    while length >= 2:
        for start in range(0, N, 2 * length):
            zeta = ZETAS[i]
            i += 1
            for j in range(start, start + length):
                t = zeta * f[j + length] % Q
                f[j + length] = (f[j] - t) % Q
                f[j] = (f[j] + t) % Q
        length >>= 1
    return f


def ntt_inverse(poly):
    f = list(poly)
    i = 127
    length = 2
    while length <= 128:
        for start in range(0, N, 2 * length):
            zeta = ZETAS[i]
            i -= 1
            for j in range(start, start + length):
                t = f[j]
                f[j] = (t + f[j + length]) % Q
                f[j + length] = zeta * (f[j + length] - t) % Q
        length <<= 1
    return [x * INVERSE_128 % Q for x in f]


def multiply_ntts(f, g):
    h = [0] * N
    for i in range(128):
        a0, a1, b0, b1 = f[2 * i], f[2 * i + 1], g[2 * i], g[2 * i + 1]
        h[2 * i] = (a0 * b0 + a1 * b1 % Q * GAMMAS[i]) % Q
        h[2 * i + 1] = (a0 * b1 + a1 * b0) % Q
    return h


def add(f, g):
    return [(a + b) % Q for a, b in zip(f, g)]


def subtract(f, g):
    return [(a - b) % Q for a, b in zip(f, g)]


def inner_product(row, vector):
    """Sum of row[j] * vector[j] in the NTT domain."""
    acc = [0] * N
    for a, b in zip(row, vector):
        acc = add(acc, multiply_ntts(a, b))
    return acc


def expand_matrix(rho):
    """A-hat[i][j] = SampleNTT(rho || j || i)."""
    return [[sample_ntt(rho + bytes([j, i])) for j in range(K)] for i in range(K)]


# ---------------------------------------------------------------------------------------------
# K-PKE (FIPS 203 section 5)

def pke_keygen(d):
    rho, sigma = hash_g(d + bytes([K]))
    a = expand_matrix(rho)
    s = [sample_cbd(ETA1, prf(ETA1, sigma, n)) for n in range(K)]
    e = [sample_cbd(ETA1, prf(ETA1, sigma, K + n)) for n in range(K)]
    s_hat = [ntt(p) for p in s]
    e_hat = [ntt(p) for p in e]
    t_hat = [add(inner_product(a[i], s_hat), e_hat[i]) for i in range(K)]
    ek = b''.join(byte_encode(12, p) for p in t_hat) + rho
    dk = b''.join(byte_encode(12, p) for p in s_hat)
    return ek, dk


def pke_encrypt(ek, m, r):
    t_hat = [byte_decode(12, ek[384 * i:384 * (i + 1)]) for i in range(K)]
    rho = ek[384 * K:]
    a = expand_matrix(rho)
    y = [sample_cbd(ETA1, prf(ETA1, r, n)) for n in range(K)]
    e1 = [sample_cbd(ETA2, prf(ETA2, r, K + n)) for n in range(K)]
    e2 = sample_cbd(ETA2, prf(ETA2, r, 2 * K))
    y_hat = [ntt(p) for p in y]
    # u = NTT^-1(A-hat transposed . y-hat) + e1
    u = [add(ntt_inverse(inner_product([a[j][i] for j in range(K)], y_hat)), e1[i]) for i in range(K)]
    mu = decompress(1, byte_decode(1, m))
    v = add(add(ntt_inverse(inner_product(t_hat, y_hat)), e2), mu)
    c1 = b''.join(byte_encode(DU, compress(DU, p)) for p in u)
    c2 = byte_encode(DV, compress(DV, v))
    return c1 + c2


def pke_decrypt(dk, c):
    c1, c2 = c[:32 * DU * K], c[32 * DU * K:]
    u = [decompress(DU, byte_decode(DU, c1[32 * DU * i:32 * DU * (i + 1)])) for i in range(K)]
    v = decompress(DV, byte_decode(DV, c2))
    s_hat = [byte_decode(12, dk[384 * i:384 * (i + 1)]) for i in range(K)]
    w = subtract(v, ntt_inverse(inner_product(s_hat, [ntt(p) for p in u])))
    return byte_encode(1, compress(1, w))


# ---------------------------------------------------------------------------------------------
# ML-KEM (FIPS 203 sections 6 and 7)

def check_encapsulation_key(ek):
    """The type and modulus checks of ML-KEM.Encaps; raises ValueError."""
    if len(ek) != EK_SIZE:
        raise ValueError('encapsulation key of %d bytes, not %d' % (len(ek), EK_SIZE))
    for i in range(K):
        block = ek[384 * i:384 * (i + 1)]
        if byte_encode(12, byte_decode(12, block)) != block:
            raise ValueError('encapsulation key holds a coefficient not below q')


def keygen_internal(d, z):
    """(ek, dk) from the 32-byte seeds d and z."""
    ek, dk_pke = pke_keygen(d)
    return ek, dk_pke + ek + hash_h(ek) + z


def keygen():
    return keygen_internal(os.urandom(32), os.urandom(32))


def encaps_internal(ek, m):
    """(shared secret, ciphertext) for the 32-byte message m; ek is not checked here."""
    shared, r = hash_g(m + hash_h(ek))
    return shared, pke_encrypt(ek, m, r)


def encaps(ek):
    check_encapsulation_key(ek)
    return encaps_internal(ek, os.urandom(32))


def decaps(dk, c):
    """The shared secret; for a ciphertext that does not re-encrypt to itself, J(z || c)."""
    if len(c) != CIPHERTEXT_SIZE:
        raise ValueError('ciphertext of %d bytes, not %d' % (len(c), CIPHERTEXT_SIZE))
    if len(dk) != DK_SIZE:
        raise ValueError('decapsulation key of %d bytes, not %d' % (len(dk), DK_SIZE))
    dk_pke = dk[:384 * K]
    ek = dk[384 * K:768 * K + 32]
    h = dk[768 * K + 32:768 * K + 64]
    z = dk[768 * K + 64:]
    if hash_h(ek) != h:
        raise ValueError('decapsulation key fails its hash check')
    m = pke_decrypt(dk_pke, c)
    shared, r = hash_g(m + h)
    rejected = hash_j(z + c)
    if pke_encrypt(ek, m, r) != c:
        return rejected
    return shared


# ---------------------------------------------------------------------------------------------
# Self-test against NIST's vectors

def testdata_directory():
    # NIST's vectors, kept once in the repository beside the C++ implementation's tests.
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, '..', '..', 'crypto', 'testdata', 'ml-kem-768')


def load_vectors(name):
    with open(os.path.join(testdata_directory(), name)) as f:
        document = json.load(f)
    if document.get('parameterSet') != 'ML-KEM-768':
        raise ValueError('%s is not for ML-KEM-768' % name)
    return document['tests']


def self_test():
    """Runs every vector and a few refusals; returns a list of failure texts (empty: all pass)."""
    failures = []
    counts = {}

    def check(condition, text):
        if not condition:
            failures.append(text)

    def hx(value):
        return bytes.fromhex(value)

    for t in load_vectors('keygen.json'):
        ek, dk = keygen_internal(hx(t['d']), hx(t['z']))
        check(ek == hx(t['ek']), '%s: ek differs' % t['id'])
        check(dk == hx(t['dk']), '%s: dk differs' % t['id'])
        counts['keygen'] = counts.get('keygen', 0) + 1
    for t in load_vectors('encap.json'):
        shared, c = encaps_internal(hx(t['ek']), hx(t['m']))
        check(c == hx(t['c']), '%s: ciphertext differs' % t['id'])
        check(shared == hx(t['k']), '%s: shared secret differs' % t['id'])
        counts['encap'] = counts.get('encap', 0) + 1
    rejections = 0
    for t in load_vectors('decap.json'):
        check(decaps(hx(t['dk']), hx(t['c'])) == hx(t['k']), '%s (%s): shared secret differs' % (t['id'], t['kind']))
        rejections += t['kind'].startswith('implicit rejection')
        counts['decap'] = counts.get('decap', 0) + 1
    check(rejections > 0, 'the decapsulation vectors hold no implicit rejection')
    check(all(counts.get(k, 0) > 0 for k in ('keygen', 'encap', 'decap')), 'a vector file is empty')

    # A round trip with fresh keys, a damaged ciphertext, and the encapsulation key checks.
    ek, dk = keygen()
    shared, c = encaps(ek)
    check(decaps(dk, c) == shared, 'fresh round trip: secrets differ')
    damaged = c[:100] + bytes([c[100] ^ 0x01]) + c[101:]
    rejected = decaps(dk, damaged)
    check(rejected != shared and rejected == hash_j(dk[-32:] + damaged), 'damaged ciphertext not rejected implicitly')
    too_big = bytearray(ek)
    too_big[0], too_big[1] = 0xFF, too_big[1] | 0x0F  # first coefficient 4095
    for bad, name in ((bytes(too_big), 'coefficient above q'), (ek[:-1], 'short key')):
        try:
            encaps(bad)
            failures.append('encaps accepted an encapsulation key with a %s' % name)
        except ValueError:
            pass
    return failures, counts


def main():
    if sys.argv[1:] != ['--self-test']:
        sys.exit('usage: mlkem768.py --self-test')
    failures, counts = self_test()
    for text in failures:
        print('FAIL:', text)
    if failures:
        sys.exit(1)
    print('ML-KEM-768 matches NIST: %d keygen, %d encapsulation, %d decapsulation vectors; '
          'fresh round trip, implicit rejection and key checks pass' % (counts['keygen'], counts['encap'], counts['decap']))


if __name__ == '__main__':
    main()
