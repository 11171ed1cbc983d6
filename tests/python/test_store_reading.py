"""Reading manifest stores: the CBOR reader against cbor2, the box walk and the
data hash verdicts on stores built to the C2PA layout, on hostile stores, on
stores mutated at random, and on five stores written by a real signer."""

import hashlib
import io
import struct

import cbor2
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import SAMPLES
from jumbf_stores import (CBOR_TYPE, MANIFEST_LABEL, assertion, box, c2pa, data_hash_map, data_hash_store, hashed_uri,
                          manifest, store, superbox)
from vellumark_tools import Verdict, check, sign
from vellumark_tools.binding import verify
from vellumark_tools.cbor import CborError, Tagged, decode

# ---------------------------------------------------------------------------- CBOR

DECODED = [
    # (encoded, value)
    (cbor2.dumps(0), 0),
    (cbor2.dumps(23), 23),
    (cbor2.dumps(24), 24),
    (cbor2.dumps(2**32), 2**32),
    (cbor2.dumps(2**64 - 1), 2**64 - 1),
    (cbor2.dumps(-(2**64)), -(2**64)),
    (cbor2.dumps(2**200), 2**200),  # a bignum (tag 2): integers of any size
    (cbor2.dumps(-(2**200)), -(2**200)),  # tag 3
    (cbor2.dumps(1.5), 1.5),  # half precision
    (cbor2.dumps(1.1), 1.1),  # double
    (b"\xfa\x3f\xc0\x00\x00", 1.5),  # single
    (cbor2.dumps([True, False, None]), [True, False, None]),
    (b"\xf7", None),  # undefined
    (cbor2.dumps({"a": b"\x00\x01", "b": ["x", {"c": 1}]}), {"a": b"\x00\x01", "b": ["x", {"c": 1}]}),
    (b"\x5f\x42ab\x41c\xff", b"abc"),  # an indefinite-length byte string of two chunks
    (b"\x7f\x61a\x62bc\xff", "abc"),
    (b"\x9f\x01\x9f\xff\xff", [1, []]),
    (b"\xbf\x61a\x01\xff", {"a": 1}),
    (b"\xc1\x1a\x00\x00\x00\x01", Tagged(1, 1)),  # other tags are kept, not interpreted
    (b"\x1a\x00\x00\x00\x05", 5),  # a number in more bytes than it needs (placeholders are written so)
]


@pytest.mark.parametrize("encoded, value", DECODED)
def test_cbor_values(encoded, value):
    assert decode(encoded) == value


CBOR_REFUSED = [
    # (encoded, message)
    (b"", "the data ends where an item should start at byte 0"),
    (b"\x19\x01", "the data ends inside an item's head at byte 0"),
    (b"\x5a\xff\xff\xff\xff", "a string of 4,294,967,295 bytes with 0 left at byte 5"),  # nothing allocated for it
    (b"\x9b" + b"\xff" * 8, "an array of 18,446,744,073,709,551,615 items in 0 bytes at byte 9"),
    (b"\xba\x00\x00\x00\x02\x00", "a map of 2 items in 1 bytes at byte 5"),  # two entries are four items
    (b"\x81" * 40 + b"\x00", "items nested more than 32 deep at byte 33"),
    (b"\xc1" * 40 + b"\x00", "items nested more than 32 deep at byte 33"),  # tags nest too
    (b"\x9f" * 40, "items nested more than 32 deep at byte 33"),
    (b"\x5f\x61a\xff", "a chunk of an indefinite-length string that is not a byte string of definite length at byte 1"),
    (b"\x5f\x41a", "the data ends inside an indefinite-length item at byte 3"),
    (b"\xff", "a break outside an indefinite-length item at byte 0"),
    (b"\x1c", "the reserved initial byte 0x1c at byte 0"),
    (b"\x1f", "the reserved initial byte 0x1f at byte 0"),  # no indefinite-length integer
    (b"\xf0", "the unassigned simple value 16 at byte 0"),
    (b"\xf8\x10", "the simple value 16 in two bytes at byte 0"),
    (b"\xf8\xff", "the unassigned simple value 255 at byte 0"),
    (b"\xa2\x61a\x00\x61a\x01", "the map key 'a' twice at byte 4"),  # readers differ on which one wins
    (b"\xa1\x80\x00", "a map key that is an array or a map at byte 1"),
    (b"\xa1\xc1\x80\x00", "a map key that is an array or a map at byte 1"),
    (b"\xbf\x61a\xff", "an indefinite-length map with a key and no value at byte 3"),
    (b"\x61\xff", "a text string that is not UTF-8 at byte 2"),
    (b"\xc2\x01", "a bignum that is not a byte string at byte 1"),
    (b"\x00\x00", "1 byte after the item at byte 1"),
    (b"\x9a\x00\x01\x86\xa1" + b"\x00" * 100_001, "more than 100,000 items in one value"),  # memory per value is bounded
    # a number of 5,000 bytes is named by its size: Python refuses to write out one of more than 4,300 digits
    (b"\xa2" + cbor2.dumps(2**40_000) + b"\x00" + cbor2.dumps(2**40_000) + b"\x00", "the map key (a 40001-bit number) twice at byte 5007"),
    (b"\xa2\xc1\x61a\x00\xc1\x61a\x00", "the map key tag 1 of 'a' twice at byte 5"),
]


@pytest.mark.parametrize("encoded, message", CBOR_REFUSED)
def test_cbor_refusals(encoded, message):
    with pytest.raises(CborError, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        decode(encoded)


# ---------------------------------------------------------------------------- stores and their verdicts

ARCHIVE = bytes(range(256)) * 8  # 2,048 bytes standing for an archive; its "record" is the last 48
RECORD = (2000, 48)
DIGEST = hashlib.sha256(ARCHIVE[:2000]).digest()


def bound(**kwargs) -> bytes:
    """A store whose data hash matches ARCHIVE with RECORD excluded, but for what `kwargs` change."""
    return data_hash_store(kwargs.pop("exclusions", [RECORD]), kwargs.pop("digest", DIGEST), **kwargs)


def verdict_of(built: bytes, record=RECORD):
    return verify(io.BytesIO(ARCHIVE), record, built)


def with_claim(claim: dict, data_hash: bytes = None, kind=b"c2ma", label="c2pa.claim.v2") -> bytes:
    built = assertion("c2pa.hash.data", data_hash or data_hash_map([RECORD], DIGEST))
    return store(manifest(MANIFEST_LABEL, [("c2pa.hash.data", built)], claim=claim(built), kind=kind, claim_label=label))


def listed_in(key: str, label: str) -> bytes:
    """A claim of `label` whose `key` holds the hashed URI of the data hash."""
    return with_claim(lambda a: {"alg": "sha256", key: [hashed_uri("self#jumbf=c2pa.assertions/c2pa.hash.data", a)]}, label=label)


def relabelled(old: bytes, new: bytes, built: bytes) -> bytes:
    assert built.count(old) == 1
    return built.replace(old, new)


def length_set(built: bytes, at: int, value: bytes) -> bytes:
    return built[:at] + value + built[at + len(value):]


def nested(depth: int) -> bytes:
    inner = b""
    for _ in range(depth):
        inner = superbox(c2pa(b"junk"), "x", inner)
    return inner


def long_box(kind: bytes, payload: bytes) -> bytes:
    """A box whose length is in an XLBox (LBox 1)."""
    return struct.pack(">IIQ", 1, int.from_bytes(kind, "big"), 16 + len(payload)) + payload


def assertion_of(label: str) -> tuple:
    return label, assertion(label, cbor2.dumps({"x": 1}))


DATA_HASH = ("c2pa.hash.data", assertion("c2pa.hash.data", data_hash_map([RECORD], DIGEST)))
PLACEHOLDER = ("c2pa.hash.data", assertion("c2pa.hash.data", data_hash_map([(0, 0)], bytes(32))))

VERDICTS = [
    # (case, store, verdict, reason: its start, why)
    ("matches", bound(), Verdict.MATCH, "sha256 of every byte outside the manifest store record [2000, +48]"),
    ("sha384 written", bound(digest=hashlib.sha384(ARCHIVE[:2000]).digest(), alg="sha384"), Verdict.MATCH, "sha384 of"),
    ("the claim's alg when the assertion has none", with_claim(lambda a: {"alg": "sha512", "created_assertions": [
        hashed_uri("self#jumbf=c2pa.assertions/c2pa.hash.data", a, "sha512")]}, data_hash_map(
        [RECORD], hashlib.sha512(ARCHIVE[:2000]).digest(), alg=None)), Verdict.MATCH, "sha512 of"),
    ("a claim v1 and a URI from the store's root", with_claim(lambda a: {"alg": "sha256", "assertions": [
        hashed_uri(f"self#jumbf=/c2pa/{MANIFEST_LABEL}/c2pa.assertions/c2pa.hash.data", a)]}, label="c2pa.claim"), Verdict.MATCH, "sha256"),
    ("gathered in a claim v2", listed_in("gathered_assertions", "c2pa.claim.v2"), Verdict.MATCH, "sha256"),
    # a list of the other version's is none of the claim's: the data hash is not covered (these matched)
    ("a claim v2 with a v1 list", listed_in("assertions", "c2pa.claim.v2"), Verdict.MISMATCH,
     "the claim does not reference the c2pa.hash.data assertion"),
    ("a claim v1 with a v2 list", listed_in("created_assertions", "c2pa.claim"), Verdict.MISMATCH,
     "the claim does not reference the c2pa.hash.data assertion"),
    ("a URI that goes up", with_claim(lambda a: {"alg": "sha256", "created_assertions": [
        hashed_uri("self#jumbf=c2pa.assertions/../c2pa.assertions/c2pa.hash.data", a)]}), Verdict.MALFORMED,
     "the claim's created_assertions holds the URI 'self#jumbf=c2pa.assertions/../c2pa.a..., and a URI may not go up (..)"),
    ("a claim of no known version", listed_in("created_assertions", "c2pa.claim.v9"), Verdict.MALFORMED,
     "the claim is labelled 'c2pa.claim.v9', and a claim is c2pa.claim.v2 or c2pa.claim"),
    ("legacy manifest type", with_claim(lambda a: {"alg": "sha256", "created_assertions": [
        hashed_uri("self#jumbf=c2pa.assertions/c2pa.hash.data", a)]}, kind=b"c2md"), Verdict.MATCH, "sha256"),
    ("zero padding after the store", bound() + bytes(7), Verdict.MATCH, "sha256"),
    ("LBox 0: the store runs to its end", length_set(bound(), 0, bytes(4)), Verdict.MATCH, "sha256"),
    ("XLBox headers on the store and its description", long_box(b"jumb", long_box(b"jumd", c2pa(b"c2pa") + b"\x03c2pa\x00") + manifest(
        MANIFEST_LABEL, [DATA_HASH])), Verdict.MATCH, "sha256"),  # was "not a C2PA manifest store": its type read 8 bytes early
    ("another hash", bound(digest=bytes(32)), Verdict.MISMATCH, "the archive's bytes outside [2000, +48] hash otherwise"),
    ("a range past the end", bound(exclusions=[(2000, 49)]), Verdict.MISMATCH,
     "the exclusion [2000, +49] ends past the end of the archive (2,048 bytes)"),
    ("a huge range", bound(exclusions=None, extra={"exclusions": [{"start": 2**70, "length": 1}]}), Verdict.MISMATCH,
     "the exclusion [(a 71-bit number), +1] ends past the end"),
    ("the record's bytes hashed", bound(exclusions=[(2000, 40)]), Verdict.NOT_THE_RECORD,
     "the store excludes [2000, +40], and the manifest store record stands at [2000, +48]"),
    ("archive bytes left unhashed", bound(exclusions=[(10, 5), (2000, 48)]), Verdict.NOT_THE_RECORD,
     "the store excludes [10, +5], [2000, +48], and"),
    ("thousands of ranges, four of them named", bound(exclusions=None, extra={"exclusions": [{"start": n, "length": 0} for n in range(2000)]}),
     Verdict.NOT_THE_RECORD, "the store excludes [0, +0], [1, +0], [2, +0], [3, +0] and 1,996 more, and the manifest"),
    ("touching ranges are sound", bound(exclusions=[(1990, 10), (2000, 48)]), Verdict.NOT_THE_RECORD, "the store excludes"),
    ("no exclusions", bound(exclusions=None), Verdict.NOT_THE_RECORD, "the store excludes nothing"),
    ("a placeholder", data_hash_store(), Verdict.PLACEHOLDER, ""),
    ("a placeholder of several zero ranges", bound(exclusions=[(0, 0), (0, 0)]), Verdict.PLACEHOLDER, ""),
    ("unsorted", bound(exclusions=[(2000, 48), (10, 5)]), Verdict.MALFORMED,
     "exclusions 0 and 1 overlap or are out of order: [2000, +48], [10, +5]"),
    ("overlapping", bound(exclusions=[(1990, 11), (2000, 48)]), Verdict.MALFORMED, "exclusions 0 and 1 overlap"),
    ("a float", bound(exclusions=None, extra={"exclusions": [{"start": 2000.0, "length": 48}]}), Verdict.MALFORMED,
     "exclusion 0 has a start that is not an integer (float)"),
    ("a string", bound(exclusions=None, extra={"exclusions": [{"start": 2000, "length": "48"}]}), Verdict.MALFORMED,
     "exclusion 0 has a length that is not an integer (str)"),
    ("a boolean", bound(exclusions=None, extra={"exclusions": [{"start": True, "length": 48}]}), Verdict.MALFORMED,
     "exclusion 0 has a start that is not an integer (bool)"),
    ("negative", bound(exclusions=None, extra={"exclusions": [{"start": -(2**70), "length": 48}]}), Verdict.MALFORMED,
     "exclusion 0 has a negative start ((a 71-bit number))"),
    ("a range without its length", bound(exclusions=None, extra={"exclusions": [{"start": 0}]}), Verdict.MALFORMED,
     "exclusion 0 is not a map with a start and a length"),
    ("an empty list", bound(exclusions=[]), Verdict.MALFORMED, "the exclusions are not a list of ranges"),
    ("no hash", bound(digest=None, extra={"hash": None}), Verdict.MALFORMED, "the data hash has no hash"),
    ("a hash of the wrong length", bound(digest=DIGEST[:31]), Verdict.MALFORMED,
     "the data hash's hash is 31 bytes, and a sha256 hash is 32"),  # was a mismatch, -v showing it in full however long
    ("a placeholder's hash of any length", bound(exclusions=[(0, 0)], digest=b""), Verdict.PLACEHOLDER, ""),
    ("a text hash", bound(extra={"hash": "ab"}), Verdict.MALFORMED, "the data hash's hash is not a byte string"),
    ("an unknown algorithm", bound(alg="md5"), Verdict.MALFORMED,
     "the data hash uses the algorithm 'md5', and only sha256, sha384, sha512 are allowed"),
    ("a bignum for an algorithm", with_claim(lambda a: {"alg": "sha256", "created_assertions": [
        {**hashed_uri("self#jumbf=c2pa.assertions/c2pa.hash.data", a), "alg": 2**20_000}]}), Verdict.MALFORMED,
     "the claim's hashed URI uses the algorithm (a 20001-bit number), and only"),  # was a traceback: too many digits to show
    # an algorithm named, but empty or false, is not the claim's: a validator refuses it
    ("an empty algorithm", with_claim(lambda a: {"alg": "sha256", "created_assertions": [
        hashed_uri("self#jumbf=c2pa.assertions/c2pa.hash.data", a)]}, data_hash_map([RECORD], DIGEST, alg="")), Verdict.MALFORMED,
     "the data hash uses the algorithm '', and only"),
    ("an algorithm of 0 in the hashed URI", with_claim(lambda a: {"alg": "sha256", "created_assertions": [
        {**hashed_uri("self#jumbf=c2pa.assertions/c2pa.hash.data", a), "alg": 0}]}), Verdict.MALFORMED,
     "the claim's hashed URI uses the algorithm 0, and only"),
    ("no algorithm anywhere", with_claim(lambda a: {"created_assertions": [
        hashed_uri("self#jumbf=c2pa.assertions/c2pa.hash.data", a)]}, data_hash_map([RECORD], DIGEST, alg=None)),
     Verdict.MALFORMED, "the data hash names no algorithm, nor does the claim"),
    ("pad not zero", bound(extra={"pad": b"\x01"}), Verdict.MALFORMED, "the data hash's pad holds bytes other than zero"),
    ("pad2 not zero", bound(extra={"pad2": b"\x00\x02"}), Verdict.MALFORMED, "the data hash's pad2 holds"),
    ("no pad", bound(pad=None), Verdict.MALFORMED, "the data hash has no pad"),
    ("not a map", store(manifest(MANIFEST_LABEL, [("c2pa.hash.data", assertion("c2pa.hash.data", cbor2.dumps([1])))])),
     Verdict.MALFORMED, "the data hash assertion is not a CBOR map"),
    ("CBOR with a huge declared length", store(manifest(MANIFEST_LABEL, [
        ("c2pa.hash.data", assertion("c2pa.hash.data", b"\xbb" + b"\x7f" * 8))])), Verdict.MALFORMED,
     "the store's CBOR: a map of 9,187,201,950,435,737,471 items in 0 bytes"),
    ("CBOR nested deep", store(manifest(MANIFEST_LABEL, [
        ("c2pa.hash.data", assertion("c2pa.hash.data", b"\x81" * 5000 + b"\x00"))])), Verdict.MALFORMED,
     "the store's CBOR: items nested more than 32 deep"),
    ("a claim that is not a map", store(superbox(c2pa(b"c2ma"), MANIFEST_LABEL, superbox(c2pa(b"c2as"), "c2pa.assertions", DATA_HASH[1]),
                                                 superbox(c2pa(b"c2cl"), "c2pa.claim.v2", box(b"cbor", b"\xff")))), Verdict.MALFORMED,
     "the store's CBOR: expected a map, found a simple value or float at byte 0"),
    ("a claim of a million items stepped over", with_claim(lambda a: {"alg": "sha256", "created_assertions": [
        hashed_uri("self#jumbf=c2pa.assertions/c2pa.hash.data", a)], "x": [0] * 1_000_000}), Verdict.MALFORMED,
     "the store's CBOR: more than 1,000,000 items"),  # time stays bounded, whatever the size
    ("two data hashes", store(manifest(MANIFEST_LABEL, [DATA_HASH, ("c2pa.hash.data__1", assertion(
        "c2pa.hash.data__1", data_hash_map([RECORD], DIGEST)))])), Verdict.MALFORMED,
     "two hard bindings (c2pa.hash.data, c2pa.hash.data__1), and a manifest has one"),
    ("a data hash and another hard binding", store(manifest(MANIFEST_LABEL, [DATA_HASH, assertion_of("c2pa.hash.boxes")])),
     Verdict.MALFORMED, "two hard bindings (c2pa.hash.data, c2pa.hash.boxes), and a manifest has one"),  # was a match
    ("the claim does not reference it", with_claim(lambda a: {"alg": "sha256", "created_assertions": []}),
     Verdict.MISMATCH, "the claim does not reference the c2pa.hash.data assertion"),
    ("the claim's hashed URI is another's", with_claim(lambda a: {"alg": "sha256", "created_assertions": [
        {"url": "self#jumbf=c2pa.assertions/c2pa.hash.data", "hash": bytes(32)}]}), Verdict.MISMATCH,
     "the claim's hashed URI of the c2pa.hash.data assertion does not match it"),
    ("referenced twice", with_claim(lambda a: {"alg": "sha256", "created_assertions": [
        hashed_uri("self#jumbf=c2pa.assertions/c2pa.hash.data", a)] * 2}), Verdict.MALFORMED,
     "the claim references the c2pa.hash.data assertion 2 times"),
    ("the last manifest is the active one", store(manifest("old", [DATA_HASH]), manifest(MANIFEST_LABEL, [PLACEHOLDER])),
     Verdict.PLACEHOLDER, ""),
    ("another hard binding", store(manifest(MANIFEST_LABEL, [assertion_of("c2pa.hash.bmff.v3")])), Verdict.NO_DATA_HASH,
     "its hard binding is c2pa.hash.bmff.v3"),
    ("no hard binding", store(manifest(MANIFEST_LABEL, [assertion_of("c2pa.actions")])), Verdict.NO_DATA_HASH,
     "the active manifest has no hard binding"),
    ("no manifest", store(), Verdict.NO_DATA_HASH, "the store holds no manifest"),
    ("an update manifest", store(manifest("parent", [DATA_HASH]), manifest("update", [], kind=b"c2um")),
     Verdict.UPDATE_MANIFEST, "the active manifest binds through the one it updates"),
    ("a compressed manifest", store(superbox(c2pa(b"c2cm"), MANIFEST_LABEL, box(b"brob", b"\x00" * 9))),
     Verdict.NO_DATA_HASH, "the active manifest is compressed"),
    ("unknown boxes are stepped over", store(box(b"free", b"\x01" * 9), superbox(c2pa(b"zzzz"), "x"),
                                             manifest(MANIFEST_LABEL, [DATA_HASH, assertion_of("x.y")])),
     Verdict.MATCH, "sha256"),
    ("opaque bytes", b"a store of another kind", Verdict.NOT_C2PA, "it does not begin as a JUMBF superbox"),
    ("empty", b"", Verdict.NOT_C2PA, "it does not begin as a JUMBF superbox"),
    ("another JUMBF type", superbox(c2pa(b"xxxx"), "c2pa"), Verdict.NOT_C2PA,
     "its superbox is of type 78787878001100108000"),
    ("LBox past the store", length_set(bound(), 0, struct.pack(">I", len(bound()) + 1)), Verdict.MALFORMED,
     "the store's boxes: the box 'jumb' at offset 0 declares"),
    ("XLBox absurd", b"\x00\x00\x00\x01jumb" + b"\x7f" * 8 + bound()[8:], Verdict.MALFORMED,
     "the store's boxes: the box 'jumb' at offset 0 declares 9,187,201,950,435,737,471 bytes, past its container"),
    ("LBox 1 without room for XLBox", b"\x00\x00\x00\x01jumb\x00\x00", Verdict.MALFORMED,
     "the store's boxes: the box 'jumb' at offset 0 has LBox 1 and no room for its XLBox"),
    ("LBox shorter than a header", length_set(bound(), 8, b"\x00\x00\x00\x04"), Verdict.MALFORMED,
     "the store's boxes: the box 'jumd' at offset 8 declares 4 bytes, fewer than its header"),
    ("an inner box past its container", store(manifest(MANIFEST_LABEL, [DATA_HASH])[:-3]) + b"\x00" * 3,
     Verdict.MALFORMED, "the store's boxes: "),
    ("superboxes nested thousands deep", store(manifest(MANIFEST_LABEL, [DATA_HASH, ("deep", nested(3000))])),
     Verdict.MALFORMED, "the store's boxes: superboxes nested more than 16 deep"),
    ("a superbox without a description", store(box(b"jumb", box(b"cbor", b"\x00"))), Verdict.MALFORMED,
     "the store's boxes: the superbox at offset 38 does not begin with a description box (jumd)"),
    ("a label without its terminator", box(b"jumb", box(b"jumd", c2pa(b"c2pa") + b"\x03c2pa")), Verdict.MALFORMED,
     "the store's boxes: the label of the description box at offset 8 is not null-terminated"),
    ("a label that is not UTF-8", box(b"jumb", box(b"jumd", c2pa(b"c2pa") + b"\x03\xff\x00")), Verdict.MALFORMED,
     "the store's boxes: the label of the description box at offset 8 is not UTF-8"),
    # labels name boxes in URIs and in check -v's lines: a line break would forge a line, a / another path
    ("a manifest label with a line break", store(manifest("m\n  expected sha256: 00", [DATA_HASH])), Verdict.MALFORMED,
     "the store's boxes: the label of the description box at offset 46 holds U+000A, which a label may not"),
    ("a manifest label with a slash", store(manifest("a/b", [DATA_HASH])), Verdict.MALFORMED,
     "the store's boxes: the label of the description box at offset 46 holds U+002F"),
    ("an assertion label with a C1 control", store(manifest(MANIFEST_LABEL, [DATA_HASH, assertion_of("x\x85")])),
     Verdict.MALFORMED, "the store's boxes: the label of the description box at offset"),
    ("a description cut short", box(b"jumb", box(b"jumd", c2pa(b"c2pa"))), Verdict.MALFORMED,
     "the store's boxes: the description box at offset 8 is too short"),
    ("bytes after the store", bound() + b"\x00\x01", Verdict.MALFORMED,
     "the store's boxes: 2 bytes after the manifest store superbox that are not zero padding"),
    ("no claim", store(superbox(c2pa(b"c2ma"), MANIFEST_LABEL, superbox(c2pa(b"c2as"), "c2pa.assertions", DATA_HASH[1]))),
     Verdict.MALFORMED, f"the store's boxes: the manifest '{MANIFEST_LABEL}' has 0 claims, and a manifest has one"),
    ("an assertion without a CBOR box", store(manifest(MANIFEST_LABEL, [
        ("c2pa.hash.data", superbox(CBOR_TYPE, "c2pa.hash.data", box(b"json", b"{}")))])), Verdict.MALFORMED,
     "the store's boxes: 'c2pa.hash.data' at offset"),
]


@pytest.mark.parametrize("case, built, verdict, reason", VERDICTS, ids=[row[0] for row in VERDICTS])
def test_store_verdicts(case, built, verdict, reason):
    binding = verdict_of(built)
    assert (binding.verdict, binding.reason[: len(reason)]) == (verdict, reason), binding.reason
    assert binding.ok == (verdict not in (Verdict.MISMATCH, Verdict.NOT_THE_RECORD, Verdict.MALFORMED, Verdict.PLACEHOLDER))


def test_a_label_that_would_split_a_line_of_check_v_is_shown_escaped():
    binding = verdict_of(store(manifest("urn:c2pa:\u2028x", [DATA_HASH])))  # a line separator, which labels may hold
    assert binding.verdict == Verdict.MATCH and binding.details()[0] == "active manifest: 'urn:c2pa:\\u2028x'"


def test_a_record_without_a_range_of_its_own_is_never_the_exclusion():
    """A manifest store record sharing a gzip member: no range holds it alone."""
    binding = verdict_of(bound(), record=None)
    assert binding.verdict == Verdict.NOT_THE_RECORD and "shares a gzip member" in binding.reason


# ---------------------------------------------------------------------------- hostile stores, mutated at random

FINAL = bound()
SEEDS = [FINAL, data_hash_store(), (SAMPLES / "c2pa" / "adobe-20220124-C.c2pa").read_bytes()[:12000]]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(seed=st.sampled_from(SEEDS), edits=st.lists(st.tuples(st.integers(0, 1 << 16), st.sampled_from(["set", "insert", "delete", "cut"]),
                                                           st.binary(min_size=1, max_size=9)), min_size=1, max_size=4))
def test_mutated_stores_get_a_verdict_and_nothing_else(seed, edits):
    data = bytearray(seed)
    for at, how, value in edits:
        at %= len(data) + 1
        if how == "set":
            data[at : at + len(value)] = value
        elif how == "insert":
            data[at:at] = value
        elif how == "delete":
            del data[at : at + len(value)]
        else:
            del data[at:]
    binding = verdict_of(bytes(data))  # any exception fails the test
    assert isinstance(binding.verdict, Verdict)
    assert all(len(line.splitlines()) == 1 for line in [binding.line(), *binding.details()])


# ---------------------------------------------------------------------------- stores written by a real signer

REAL_STORES = [
    # (file, bytes, exclusion, data hash: from their SOURCES.md)
    ("adobe-20220124-C.c2pa", 51118, (20, 51130), "5b9361f6f790e98c2b95db7d89cc378c7bfd3326eae4e4dbe3c6b9b40c55e689"),
    ("adobe-20220124-CA.c2pa", 126523, (20, 126555), "313ec2855e07b53b15a92bd91ed28eb9768fe1fe04dd699360c333cd1302d791"),
    ("adobe-20220124-CACA.c2pa", 250701, (20, 250773), "2610cc4d089bb9c6d4b0d1d6513b082b7269fbad501ed9bfa15aff8e6885f7db"),
    ("adobe-20220124-CAI.c2pa", 348403, (20, 348515), "48a46333fd0e8493d940b5b69b1d69cf6092fdf23c093d93721a8b3d30d3f33e"),
    ("adobe-20220124-E-sig-CA.c2pa", 126523, (20, 126555), "313ec2855e07b53b15a92bd91ed28eb9768fe1fe04dd699360c333cd1302d791"),
]


@pytest.mark.parametrize("name, size, exclusion, digest", REAL_STORES)
def test_real_stores_give_their_known_data_hash_and_bind_no_archive(tmp_path, name, size, exclusion, digest):
    data = (SAMPLES / "c2pa" / name).read_bytes()
    assert len(data) == size
    signed = sign(SAMPLES / "warcat" / "at.warc", data, tmp_path / "at.c2pa.warc")
    binding = check(signed.output).bindings[0][1]
    # Their claim's hashed URI of the data hash matched, or the verdict would be a mismatch.
    assert (binding.verdict, binding.alg, binding.exclusions, binding.expected.hex()) == (
        Verdict.NOT_THE_RECORD, "sha256", [exclusion], digest)
    record = f"[{signed.manifest_offset}, +{signed.manifest_length}]"
    assert check(signed.output).problems == [f"binding exclusions are not the manifest store record: the store excludes "
                                             f"[{exclusion[0]}, +{exclusion[1]}], and the manifest store record stands at {record}"]


def test_a_real_store_whose_data_hash_assertion_was_altered_fails_its_hashed_uri():
    data = bytearray((SAMPLES / "c2pa" / "adobe-20220124-C.c2pa").read_bytes())
    name = data.index(b"\x64name", data.index(b"c2pa.hash.data\x00")) + 6  # the text of its "name", which no verdict reads
    data[name] ^= 0x20  # a letter's case: the assertion still reads the same
    binding = verify(io.BytesIO(bytes(len(data) + 1000)), (len(data), 1000), bytes(data))
    assert (binding.verdict, binding.reason) == (
        Verdict.MISMATCH, "the claim's hashed URI of the c2pa.hash.data assertion does not match it")
