"""Manifest stores built for the tests, box by box, to the layout a C2PA
signer writes: a c2pa superbox holding manifests; each manifest an assertion
store (with a c2pa.hash.data CBOR assertion), a claim (CBOR, with the hashed
URI of that assertion) and a signature box (any bytes: nothing here verifies
signatures). The CBOR comes from cbor2; the boxes are written here, so that
the tools' box walk is checked against bytes it did not write."""

import hashlib
import struct

import cbor2

C2PA_TAIL = bytes.fromhex("00110010800000aa00389b71")
CBOR_TYPE = b"cbor" + C2PA_TAIL


def c2pa(fourcc: bytes) -> bytes:
    return fourcc + C2PA_TAIL


def box(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def superbox(kind: bytes, label: str, *contents: bytes, salt: bytes = b"") -> bytes:
    toggles = 0x03 | (0x10 if salt else 0)  # requestable, labelled; private (a salt box)
    description = kind + bytes([toggles]) + label.encode() + b"\x00" + (box(b"c2sh", salt) if salt else b"")
    return box(b"jumb", box(b"jumd", description) + b"".join(contents))


def uint32(value: int) -> bytes:
    """A CBOR unsigned integer in its 32-bit form, whatever its value: a
    placeholder's zeros take the room of the final numbers."""
    return b"\x1a" + struct.pack(">I", value)


def data_hash_map(exclusions, digest: bytes, alg="sha256", pad: int = 16, extra: dict = None) -> bytes:
    """A c2pa.hash.data map with its ranges as 32-bit integers (the size stays
    the same from placeholder to final store)."""
    items = [(b"\x6aexclusions", b"\x80" if exclusions == [] else _ranges(exclusions))] if exclusions is not None else []
    fields = {"alg": alg, "hash": digest, "pad": None if pad is None else bytes(pad), **(extra or {})}
    items += [(cbor2.dumps(k), cbor2.dumps(v)) for k, v in fields.items() if v is not None]
    return bytes([0xA0 + len(items)]) + b"".join(k + v for k, v in items)


def _ranges(exclusions) -> bytes:
    parts = [b"\xa2\x65start" + uint32(start) + b"\x66length" + uint32(length) for start, length in exclusions]
    return bytes([0x80 + len(parts)]) + b"".join(parts)


def assertion(label: str, payload: bytes, salt: bytes = b"\x5a" * 16) -> bytes:
    return superbox(CBOR_TYPE, label, box(b"cbor", payload), salt=salt)


def hashed_uri(url: str, assertion_box: bytes, alg: str = "sha256") -> dict:
    """The claim's reference to an assertion: the hash of its superbox without the superbox's header."""
    return {"url": url, "hash": hashlib.new(alg, assertion_box[8:]).digest()}


def manifest(label: str, assertions, claim: dict = None, kind: bytes = b"c2ma", claim_label="c2pa.claim.v2",
             signature: bytes = b"\xd2\x84" + b"\x00" * 64) -> bytes:
    """A manifest whose claim references every assertion given as (label, box)
    (unless `claim` is given whole)."""
    if claim is None:
        claim = {"alg": "sha256", "claim_generator_info": [{"name": "tests"}],
                 "created_assertions": [hashed_uri(f"self#jumbf=c2pa.assertions/{name}", built) for name, built in assertions],
                 "signature": "self#jumbf=c2pa.signature"}
    return superbox(c2pa(kind), label,
                    superbox(c2pa(b"c2as"), "c2pa.assertions", *(built for _, built in assertions)),
                    superbox(c2pa(b"c2cl"), claim_label, box(b"cbor", cbor2.dumps(claim))),
                    superbox(c2pa(b"c2cs"), "c2pa.signature", box(b"cbor", signature)))


def store(*manifests: bytes) -> bytes:
    return superbox(c2pa(b"c2pa"), "c2pa", *manifests)


MANIFEST_LABEL = "urn:c2pa:5f2b6c3e-9d7a-4b1e-8c2f-0a1b2c3d4e5f"


def data_hash_store(exclusions=((0, 0),), digest: bytes = None, alg="sha256", pad: int = 16, extra: dict = None,
                    label=MANIFEST_LABEL) -> bytes:
    """A store of one manifest whose one assertion is a data hash: by default
    a placeholder (exclusions zero, hash zeros), of the size any final store
    built with the same `pad` and `alg` has."""
    exclusions = None if exclusions is None else list(exclusions)
    digest = bytes(hashlib.new(alg).digest_size) if digest is None else digest
    built = assertion("c2pa.hash.data", data_hash_map(exclusions, digest, alg, pad, extra))
    return store(manifest(label, [("c2pa.hash.data", built)]))


def final_store(hashed: dict, pad: int = 16) -> bytes:
    """The final store for what `vellumark hash` printed (its JSON as a dict)."""
    import base64

    ranges = [(r["start"], r["length"]) for r in hashed["exclusions"]]
    return data_hash_store(ranges, base64.b64decode(hashed["hash"]), hashed["alg"], pad)
