"""Digests and keys for the engine's signed images, from hashlib and the
cryptography package; imported only by a run that asks for them."""

import hashlib

try:
    from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
except ImportError:  # pragma: no cover - the message says what to install
    serialization = None


class KeyFailure(Exception):
    """One line for the user: why the key cannot be used."""


def sha256():
    return hashlib.sha256()


class Key:
    def __init__(self, key, private):
        self._key = key
        self.private = private
        public = key.public_key() if private else key
        self._public = public
        if isinstance(public, ed25519.Ed25519PublicKey):
            self.type = "ed25519"
        elif isinstance(public, ec.EllipticCurvePublicKey):
            if public.curve.name != "secp256r1":
                raise KeyFailure(f"an ECDSA key on {public.curve.name}; P-256 only")
            self.type = "ecdsa-p256"
        elif isinstance(public, rsa.RSAPublicKey) and public.key_size in (2048, 3072):
            self.type = f"rsa-{public.key_size}"
        else:
            raise KeyFailure("not an Ed25519, ECDSA P-256 or RSA-2048/3072 key")

    def public_der(self, pkcs1):
        form = (serialization.PublicFormat.PKCS1 if pkcs1
                else serialization.PublicFormat.SubjectPublicKeyInfo)
        return self._public.public_bytes(serialization.Encoding.DER, form)

    def sign(self, message):
        if self.type == "ed25519":
            return self._key.sign(message)
        if self.type == "ecdsa-p256":
            return self._key.sign(message, ec.ECDSA(hashes.SHA256(),
                                                    deterministic_signing=True))
        return self._key.sign(message, _pss(), hashes.SHA256())

    def verify(self, message, signature):
        try:
            if self.type == "ed25519":
                self._public.verify(signature, message)
            elif self.type == "ecdsa-p256":
                self._public.verify(signature, message, ec.ECDSA(hashes.SHA256()))
            else:
                self._public.verify(signature, message, _pss(), hashes.SHA256())
        except InvalidSignature:
            return False
        return True


def _pss():
    return padding.PSS(mgf=padding.MGF1(hashes.SHA256()), salt_length=32)


def read_key(pem, name, password, public_ok):
    if serialization is None:
        raise KeyFailure("the cryptography package is not installed: pip install cryptography")
    secret = password.encode() if password is not None else None
    try:
        return Key(serialization.load_pem_private_key(pem, secret), True)
    except TypeError as e:
        if "encrypted" in str(e) and secret is None:
            raise KeyFailure(f"{name} is encrypted: set VELK_KEY_PASSWORD") from None
        raise KeyFailure(f"{name}: {e}") from None
    except (ValueError, UnsupportedAlgorithm) as e:
        if public_ok:
            try:
                return Key(serialization.load_pem_public_key(pem), False)
            except (ValueError, UnsupportedAlgorithm):
                pass
        if secret is not None and "password" in str(e).lower():
            raise KeyFailure(f"{name}: wrong password (VELK_KEY_PASSWORD)") from None
        raise KeyFailure(f"{name} is not a PEM key") from None
