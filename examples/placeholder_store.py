"""A stand-in for a C2PA signer's placeholder workflow, to try the binding with:
it writes manifest stores of one size laid out as a C2PA signer lays them
out, with a data hash assertion and a claim that references it, but no
signature (checking signatures is a C2PA validator's job, not vellumark's).

    python examples/placeholder_store.py placeholder placeholder.c2pa
    vellumark sign crawl.warc.gz --manifest placeholder.c2pa     # -> crawl.c2pa.warc.gz
    vellumark hash crawl.c2pa.warc.gz > hash.json
    python examples/placeholder_store.py final final.c2pa < hash.json
    vellumark sign crawl.c2pa.warc.gz --manifest final.c2pa      # the same range
    vellumark check -v crawl.c2pa.warc.gz                        # binding matches

Needs cbor2 (pip install cbor2) for the CBOR maps.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import json
import struct
import sys
import uuid
from typing import List, Tuple

import cbor2

C2PA = bytes.fromhex("00110010800000aa00389b71")  # every C2PA box type is FOURCC + this
LABEL = f"urn:c2pa:{uuid.UUID(int=0x5EA1ED)}"  # a signer makes one per manifest


def jumbf_box(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def jumbf_superbox(fourcc: bytes, label: str, *boxes: bytes) -> bytes:
    description = fourcc + C2PA + b"\x03" + label.encode() + b"\x00"  # requestable, labelled
    return jumbf_box(b"jumb", jumbf_box(b"jumd", description) + b"".join(boxes))


def data_hash_cbor(exclusions: List[Tuple[int, int]], alg: str, digest: bytes) -> bytes:
    """The c2pa.hash.data map, its numbers written in 32 bits so that the
    placeholder's zeros take the room of the final values."""
    ranges = b"".join(b"\xa2\x65start\x1a" + struct.pack(">I", s) + b"\x66length\x1a" + struct.pack(">I", n) for s, n in exclusions)
    return (b"\xa4" + cbor2.dumps("exclusions") + bytes([0x80 + len(exclusions)]) + ranges
            + cbor2.dumps("alg") + cbor2.dumps(alg) + cbor2.dumps("hash") + cbor2.dumps(digest)
            + cbor2.dumps("pad") + cbor2.dumps(bytes(16)))


def manifest_store(exclusions: List[Tuple[int, int]], alg: str, digest: bytes) -> bytes:
    assertion = jumbf_superbox(b"cbor", "c2pa.hash.data", jumbf_box(b"cbor", data_hash_cbor(exclusions, alg, digest)))
    reference = {"url": "self#jumbf=c2pa.assertions/c2pa.hash.data", "hash": hashlib.sha256(assertion[8:]).digest()}
    claim = {"alg": "sha256", "claim_generator_info": [{"name": "vellumark example"}],
             "created_assertions": [reference], "signature": "self#jumbf=c2pa.signature"}
    manifest = jumbf_superbox(
        b"c2ma", LABEL,
        jumbf_superbox(b"c2as", "c2pa.assertions", assertion),
        jumbf_superbox(b"c2cl", "c2pa.claim.v2", jumbf_box(b"cbor", cbor2.dumps(claim))),
        jumbf_superbox(b"c2cs", "c2pa.signature", jumbf_box(b"cbor", cbor2.dumps("not signed: an example"))),
    )
    return jumbf_superbox(b"c2pa", "c2pa", manifest)


def main() -> None:
    parser = argparse.ArgumentParser(description="Write a placeholder manifest store, or the final one for a line of `vellumark hash`.")
    parser.add_argument("kind", choices=["placeholder", "final"], help="final reads the line of `vellumark hash` on standard input")
    parser.add_argument("output", help="the store file to write")
    parser.add_argument("--alg", default="sha256", choices=["sha256", "sha384", "sha512"], help="the placeholder's algorithm")
    args = parser.parse_args()
    if args.kind == "placeholder":
        store = manifest_store([(0, 0)], args.alg, bytes(hashlib.new(args.alg).digest_size))
    else:
        hashed = json.loads(sys.stdin.readline())
        ranges = [(r["start"], r["length"]) for r in hashed["exclusions"]]
        store = manifest_store(ranges, hashed["alg"], base64.b64decode(hashed["hash"]))
    with open(args.output, "wb") as out:
        out.write(store)
    print(f"{args.output}: a {args.kind} manifest store of {len(store):,} bytes")


if __name__ == "__main__":
    main()
