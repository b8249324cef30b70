"""PyKCS11 with the module behind the real pcscd: key pairs of 1024 and 2048
bits generated on the card sign a SHA-256 DigestInfo and decrypt, checked
with RSA arithmetic on the public key read back; then the keys go again."""
import hashlib
import os
import sys
import tempfile

import PyKCS11

PIN = "123456"
SHA256_PREFIX = bytes.fromhex("3031300d060960864801650304020105000420")


def public_key(session, handle):
    n, e = session.getAttributeValue(handle, [PyKCS11.CKA_MODULUS, PyKCS11.CKA_PUBLIC_EXPONENT])
    return int.from_bytes(bytes(n), "big"), int.from_bytes(bytes(e), "big"), len(n)


def verify(n, e, k, message, signature):
    """PKCS #1 v1.5 signature check: s^e mod n must be 00 01 FF.. 00 DigestInfo."""
    digest_info = SHA256_PREFIX + hashlib.sha256(message).digest()
    expected = b"\x00\x01" + b"\xff" * (k - 3 - len(digest_info)) + b"\x00" + digest_info
    return len(signature) == k and pow(int.from_bytes(signature, "big"), e, n).to_bytes(k, "big") == expected


def encrypt(n, e, k, message):
    """PKCS #1 v1.5 encryption: 00 02, non-zero random bytes, 00, message."""
    padding = bytes(b for b in os.urandom(2 * k) if b != 0)[: k - 3 - len(message)]
    block = b"\x00\x02" + padding + b"\x00" + message
    return pow(int.from_bytes(block, "big"), e, n).to_bytes(k, "big")


def main(module):
    failures = []

    def check(condition, what):
        print(("ok: " if condition else "FAIL: ") + what)
        if not condition:
            failures.append(what)

    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    slot = next(s for s in lib.getSlotList()
                if lib.getSlotInfo(s).flags & PyKCS11.CKF_TOKEN_PRESENT)
    session = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    session.login(PIN)
    mechanism = PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS)
    try:
        for bits, key_id in ((1024, b"\xc4\x10"), (2048, b"\xc4\x20")):
            label = "e2e-pykcs11-%d" % bits
            public, private = session.generateKeyPair(
                [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_TOKEN, True),
                 (PyKCS11.CKA_MODULUS_BITS, bits), (PyKCS11.CKA_VERIFY, True),
                 (PyKCS11.CKA_ENCRYPT, True), (PyKCS11.CKA_ID, key_id), (PyKCS11.CKA_LABEL, label)],
                [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_TOKEN, True),
                 (PyKCS11.CKA_SIGN, True), (PyKCS11.CKA_DECRYPT, True),
                 (PyKCS11.CKA_ID, key_id), (PyKCS11.CKA_LABEL, label)],
                PyKCS11.MechanismRSAGENERATEKEYPAIR)
            try:
                n, e, k = public_key(session, public)
                check(n.bit_length() == bits and e == 65537, "%d-bit key, exponent 65537" % bits)
                found = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY),
                                             (PyKCS11.CKA_ID, key_id)])
                check(len(found) == 1, "%d: the private key is found by its id" % bits)

                message = b"signed through PyKCS11 with %d bits" % bits
                digest_info = SHA256_PREFIX + hashlib.sha256(message).digest()
                signature = bytes(session.sign(private, digest_info, mechanism))
                check(verify(n, e, k, message, signature), "%d: the signature verifies" % bits)
                check(not verify(n, e, k, message + b"!", signature),
                      "%d: it does not verify another message" % bits)

                secret = b"for the card's eyes only, %d" % bits
                plain = bytes(session.decrypt(private, encrypt(n, e, k, secret), mechanism))
                check(plain == secret, "%d: decryption gives the message back" % bits)
            finally:
                session.destroyObject(private)
                session.destroyObject(public)

        random = session.generateRandom(32)
        check(len(random) == 32, "32 random bytes")
    finally:
        session.logout()
        session.closeSession()
    return 1 if failures else 0


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as work:
        conf = os.path.join(work, "brisane.txt")
        with open(conf, "w") as f:
            f.write("cache = %s/cache/\n" % work)
        os.environ["BRISANE_CONF"] = conf
        sys.exit(main(sys.argv[1]))
