"""Throughput and memory of vellumark against warcio, FastWARC and a plain copy of the archive.

    pip install '.[bench]'
    python bench/bench.py                 # full run: prints the table and the targets
    python bench/bench.py --quick         # small corpora, one run: keeps the script working
    python bench/bench.py --json out.json --plot out.png

Corpora are generated in memory from a fixed seed, uncompressed WARC/1.1:
  bulk   256 records with 1 MiB random bodies
  crawl  about 20,000 warcinfo/request/response/metadata records, 10 to 15 headers
         each, body sizes log-normal with a mean of 8 KiB, capped at 1 MiB
  tiny   200,000 records with 0 to 64-byte bodies
Every reader produces the same information: each record's headers as a dict of
str, its body as bytes, and its offset. "copy" is the limit: one fresh copy of
the archive, bytes(memoryview(archive)[1:]).

The "files" rows (--files runs only them) put the corpora on disk as crawlers
write them, a gzip member per record, and time the tools package
(vellumark_tools) against python-isal inflating the same file as one stream
on one thread: iter_records reading every body, sign, index, census and check
on the crawl corpus and on a small-page corpus (16,000 records of about 3 KB);
FastWARC reading every body; WARC/1.0 against 1.1; a plain .warc streamed
against read_records on its bytes; index of 1,000,000 tiny records; index
with one thread against two on a file of about 1 GB; signing a WACZ; and the
peak memory of every command on a 500 MiB record and on a 1 MB .warc.gz that
holds 1 GiB of zeros. Cases take turns round by round.
"""

from __future__ import annotations

import argparse
import gc
import gzip
import hashlib
import io
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
import zipfile
import zlib
from typing import Any, Callable, Dict, List, Optional, Tuple

import vellumark
import vellumark_tools

try:
    from warcio.archiveiterator import ArchiveIterator as WarcioIterator
except ImportError:  # a peer missing on this interpreter is left out of the table
    WarcioIterator = None
try:
    from fastwarc.warc import ArchiveIterator as FastwarcIterator
except ImportError:
    FastwarcIterator = None

try:
    from isal import igzip as INFLATE_MODULE  # the reference inflate of the file benchmarks
    INFLATE_NAME = "isal"
except ImportError:
    INFLATE_MODULE, INFLATE_NAME = gzip, "gzip (install isal for the reference)"

SEED = 20261208
PEERS_MISSING = "skipped: install '.[bench]' for warcio and FastWARC"
MIB = 1 << 20
Reader = Callable[[bytes], Any]

# ---------------------------------------------------------------------------- corpora


def _record(headers: List[Tuple[str, str]], body: bytes) -> bytes:
    lines = "".join(f"{name}: {value}\r\n" for name, value in headers)
    return f"WARC/1.1\r\n{lines}Content-Length: {len(body)}\r\n\r\n".encode() + body + b"\r\n\r\n"


def _urn(rng: random.Random) -> str:
    return f"<urn:uuid:{uuid.UUID(int=rng.getrandbits(128), version=4)}>"


def _date(rng: random.Random) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(1_700_000_000 + rng.randrange(10_000_000)))


def _digest(rng: random.Random) -> str:
    return "sha1:" + "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567") for _ in range(32))


def _body_size(rng: random.Random) -> int:
    sigma = 1.0
    mu = math.log(8 * 1024) - sigma * sigma / 2  # mean 8 KiB
    return min(int(rng.lognormvariate(mu, sigma)), MIB)


_TEXT: List[bytes] = []


def _page(rng: random.Random, size: int) -> bytes:
    """`size` bytes of page-like text. It compresses (about 2.5x per record) where
    random bytes would not, which matters to the .warc.gz measurements."""
    if not _TEXT:
        words_rng = random.Random(SEED)
        words = ["".join(words_rng.choice("etaoinshrdlucmfwyp") for _ in range(words_rng.randrange(2, 11)))
                 for _ in range(300)] + ["<p>", "</p>", "<a href=\"/", "\">", "</a>", "<div class=\"", "</div>\n"]
        _TEXT.append(" ".join(words_rng.choice(words) for _ in range(400_000)).encode())
    text = _TEXT[0]
    start = rng.randrange(len(text) - min(size, len(text) - 1))
    chunk = text[start : start + size]
    return chunk if len(chunk) == size else (chunk * (size // max(len(chunk), 1) + 1))[:size]


def crawl_corpus(records: int, rng: random.Random) -> bytes:
    info_id = _urn(rng)
    parts = [
        _record(
            [
                ("WARC-Type", "warcinfo"),
                ("WARC-Record-ID", info_id),
                ("WARC-Date", _date(rng)),
                ("WARC-Filename", "crawl-00000.warc"),
                ("Content-Type", "application/warc-fields"),
            ],
            b"software: bench\r\nformat: WARC File Format 1.1\r\n",
        )
    ]
    while len(parts) < records:
        uri = f"https://site{rng.randrange(500)}.example/{rng.randrange(10**6)}/page.html"
        ip = f"203.0.113.{rng.randrange(256)}"
        date = _date(rng)
        response_id, request_id = _urn(rng), _urn(rng)
        common = [("WARC-Date", date), ("WARC-Target-URI", uri), ("WARC-Warcinfo-ID", info_id)]
        head = f"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nServer: bench\r\nDate: {date}\r\n\r\n".encode()
        response_body = head + _page(rng, max(0, _body_size(rng) - len(head)))
        parts.append(
            _record(
                [("WARC-Type", "response"), ("WARC-Record-ID", response_id)]
                + common
                + [
                    ("WARC-IP-Address", ip),
                    ("WARC-Block-Digest", _digest(rng)),
                    ("WARC-Payload-Digest", _digest(rng)),
                    ("WARC-Identified-Payload-Type", "text/html"),
                    ("Content-Type", "application/http; msgtype=response"),
                ],
                response_body,
            )
        )
        request = f"GET {uri} HTTP/1.1\r\nHost: {uri.split('/')[2]}\r\nUser-Agent: bench/1.0\r\n\r\n".encode()
        parts.append(
            _record(
                [("WARC-Type", "request"), ("WARC-Record-ID", request_id)]
                + common
                + [
                    ("WARC-IP-Address", ip),
                    ("WARC-Concurrent-To", response_id),
                    ("WARC-Block-Digest", _digest(rng)),
                    ("Content-Type", "application/http; msgtype=request"),
                ],
                request + _page(rng, max(0, _body_size(rng) - len(request))),
            )
        )
        parts.append(
            _record(
                [("WARC-Type", "metadata"), ("WARC-Record-ID", _urn(rng))]
                + common
                + [
                    ("WARC-Concurrent-To", response_id),
                    ("WARC-Block-Digest", _digest(rng)),
                    ("Content-Type", "application/warc-fields"),
                ],
                b"via: " + uri.encode() + b"\r\nfetchTimeMs: 12\r\n" + _page(rng, _body_size(rng)),
            )
        )
    return b"".join(parts[:records])


def bulk_corpus(records: int, body_size: int, rng: random.Random) -> bytes:
    return b"".join(
        _record(
            [("WARC-Type", "resource"), ("WARC-Record-ID", _urn(rng)), ("WARC-Date", _date(rng)),
             ("WARC-Target-URI", f"file:///data/{i}.bin"), ("Content-Type", "application/octet-stream")],
            rng.randbytes(body_size),
        )
        for i in range(records)
    )


def tiny_corpus(records: int, rng: random.Random) -> bytes:
    return b"".join(
        _record(
            [("WARC-Type", "resource"), ("WARC-Record-ID", _urn(rng)), ("WARC-Date", _date(rng)),
             ("WARC-Target-URI", f"urn:x:{i}"), ("Content-Type", "text/plain")],
            rng.randbytes(rng.randrange(65)),
        )
        for i in range(records)
    )


def make_corpora(quick: bool) -> Dict[str, bytes]:
    rng = random.Random(SEED)
    if quick:
        return {"bulk": bulk_corpus(8, 256 * 1024, rng), "crawl": crawl_corpus(400, rng), "tiny": tiny_corpus(4000, rng)}
    return {"bulk": bulk_corpus(256, MIB, rng), "crawl": crawl_corpus(20_000, rng), "tiny": tiny_corpus(200_000, rng)}


# ---------------------------------------------------------------------------- readers


def read_with_vellumark(archive: bytes) -> Any:
    return vellumark.read_records(archive)


def read_warcio(archive: bytes) -> Any:
    iterator = WarcioIterator(io.BytesIO(archive), no_record_parse=True)
    rows = []
    for record in iterator:
        body = record.raw_stream.read()  # before the offset, which reads the record to its end
        rows.append((iterator.get_record_offset(), dict(record.rec_headers.headers), body))
    return rows


def read_fastwarc(archive: bytes) -> Any:
    return [
        (r.stream_pos, r.headers.to_dict(), r.reader.read())
        for r in FastwarcIterator(io.BytesIO(archive), parse_http=False)
    ]


def copy_limit(archive: bytes) -> Any:
    return bytes(memoryview(archive)[1:])


def readers() -> Dict[str, Reader]:
    found: Dict[str, Reader] = {"read_records": read_with_vellumark}
    if WarcioIterator is not None:
        found["warcio"] = read_warcio
    if FastwarcIterator is not None:
        found["fastwarc"] = read_fastwarc
    found["copy"] = copy_limit
    return found


def as_common_form(name: str, result: Any) -> List[Tuple[int, Dict[str, str], bytes]]:
    """(offset, headers with lower-cased names, body) per record, whatever the reader."""
    if name == "read_records":
        rows = [(r["offset"], r["headers"], r["body"]) for r in result]
    else:
        rows = result
    return [(offset, {k.lower(): v for k, v in headers.items()}, body) for offset, headers, body in rows]


def check_agreement(archive: bytes) -> None:
    reference = as_common_form("read_records", read_with_vellumark(archive))
    for name, reader in readers().items():
        if name in ("read_records", "copy"):
            continue
        other = as_common_form(name, reader(archive))
        if other != reference:
            count = f"{len(other)} records against {len(reference)}"
            first = next((i for i, (a, b) in enumerate(zip(other, reference)) if a != b), None)
            sys.exit(f"{name} disagrees with read_records on the crawl corpus: {count}, first difference at record {first}")
    peers = [name for name in readers() if name not in ("read_records", "copy")]
    if not peers:
        print(f"agreement: skipped: {PEERS_MISSING}")
        return
    print(f"agreement: {', '.join(peers)} and read_records give the same {len(reference)} records of the crawl corpus")


# ---------------------------------------------------------------------------- timing


def median_seconds(function: Callable[[], Any], runs: int) -> float:
    function()  # warm-up
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


def record_count(archive: bytes) -> int:
    return len(vellumark.read_records(archive))


def time_all(corpora: Dict[str, bytes], runs: int) -> List[Dict[str, Any]]:
    rows = []
    manifest = random.Random(SEED).randbytes(64 * 1024)
    for corpus, archive in corpora.items():
        cases: Dict[str, Callable[[], Any]] = {name: (lambda r=reader: r(archive)) for name, reader in readers().items()}
        if corpus in ("bulk", "crawl"):
            cases["read_manifest"] = lambda: vellumark.read_manifest(archive)
            cases["append_manifest"] = lambda: vellumark.append_manifest(archive, manifest, "urn:uuid:bench")
        count = record_count(archive)
        for name, case in cases.items():
            seconds = median_seconds(case, runs)
            rows.append(
                {"corpus": corpus, "case": name, "seconds": seconds, "bytes": len(archive), "records": count,
                 "mb_per_s": len(archive) / seconds / 1e6, "records_per_s": count / seconds}
            )
            print(f"  {corpus:6} {name:16} {seconds * 1e3:10.2f} ms", flush=True)
    return rows


# ---------------------------------------------------------------------------- memory


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def memory_probe(case: str, path: str) -> None:
    """Child process: load the archive, reset the peak, run one call, report."""
    base = _status_kib("VmRSS") * 1024
    with open(path, "rb") as f:
        archive = f.read()
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    if case == "read_records":
        result = vellumark.read_records(archive)
        output = sum(len(r["body"]) for r in result)
    else:
        result = vellumark.append_manifest(archive, b"m" * 65536, "urn:uuid:bench")
        output = len(result)
    peak = _status_kib("VmHWM") * 1024
    print(json.dumps({"case": case, "base": base, "peak": peak, "input": len(archive), "output": output}))


def measure_memory(archive: bytes) -> List[Dict[str, Any]]:
    rows = []
    with tempfile.NamedTemporaryFile(suffix=".warc") as f:
        f.write(archive)
        f.flush()
        for case in ("read_records", "append_manifest"):
            out = subprocess.run([sys.executable, __file__, "--memory-probe", case, f.name],
                                 capture_output=True, text=True, check=True)
            row = json.loads(out.stdout)
            row["ratio"] = (row["peak"] - row["base"]) / (row["input"] + row["output"])
            rows.append(row)
            print(f"  bulk   {case:16} peak {row['peak'] / MIB:8.1f} MiB, "
                  f"{row['ratio']:.3f} x (input + output)", flush=True)
    return rows


# ---------------------------------------------------------------------------- archives on disk (vellumark_tools)

STORE = b"\x00\x00\x00\x20jumb" + b"bench store " * 40
FIELDS = ["offset", "length", "warc-type", "warc-target-uri", "warc-record-id"]


def per_record_gz(archive: bytes, path: str, version: bytes = b"1.1") -> None:
    """An archive as crawlers write it: a gzip member per record."""
    with open(path, "wb") as out:
        for r in vellumark.read_records(archive):
            data = archive[r["offset"] : r["offset"] + r["length"]]
            out.write(gzip.compress(data if version == b"1.1" else b"WARC/" + version + data[8:], 6, mtime=0))


def small_page_corpus(records: int, rng: random.Random) -> bytes:
    """Records of about 3 KB: a small-page crawl, where the cost per record counts most."""
    return b"".join(
        _record([("WARC-Type", "response"), ("WARC-Record-ID", _urn(rng)), ("WARC-Date", _date(rng)),
                 ("WARC-Target-URI", f"https://small{rng.randrange(500)}.example/{i}"),
                 ("Content-Type", "application/http; msgtype=response")],
                b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n" + _page(rng, rng.randrange(2000, 4000)))
        for i in range(records)
    )


def inflate_file(path: str) -> int:
    """The reference: the whole file inflated as one stream on one thread, with
    python-isal (igzip); with Python's gzip where isal is not installed, which
    the report then says."""
    total = 0
    with INFLATE_MODULE.open(path, "rb") as stream:
        for block in iter(lambda: stream.read(MIB), b""):
            total += len(block)
    return total


def iterate_file(path: str, threads: Optional[int] = None) -> int:
    return sum(len(r.body) for r in vellumark_tools.iter_records(path, threads=threads))


def sign_file(path: str, output: str) -> None:
    if os.path.exists(output):
        os.unlink(output)  # a first run: renaming over an old output would also free its pages
    vellumark_tools.sign(path, STORE, output)


def index_file(path: str, threads: Optional[int] = None) -> int:
    return sum(1 for _ in vellumark_tools.index_entries(path, FIELDS, threads=threads))


def fastwarc_file(path: str) -> int:
    with open(path, "rb") as stream:
        return sum(len(r.reader.read()) for r in FastwarcIterator(stream, parse_http=False))


def interleaved(cases: Dict[str, Callable[[], Any]], runs: int) -> Dict[str, float]:
    """Median seconds of each case, the cases taking turns in every round, so
    that a slow spell of a shared machine falls on all of them alike."""
    times: Dict[str, List[float]] = {name: [] for name in cases}
    for name, case in cases.items():
        case()  # warm-up
    for _ in range(runs):
        for name, case in cases.items():
            gc.collect()
            start = time.perf_counter()
            case()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def write_wacz(archive: str, path: str) -> None:
    """A WACZ package of one archive, as a crawler hands it over: the archive
    STORED under archive/, datapackage.json with its hash and size, and the
    digest of that."""
    digest = hashlib.sha256()
    with open(archive, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            digest.update(block)
    name = "archive/" + os.path.basename(archive)
    package = {"profile": "data-package", "wacz_version": "1.1.1", "created": "2026-12-08T00:00:00Z",
               "resources": [{"name": os.path.basename(archive), "path": name, "hash": "sha256:" + digest.hexdigest(),
                              "bytes": os.path.getsize(archive)}]}
    datapackage = json.dumps(package, indent=2).encode()
    digest_file = {"path": "datapackage.json", "hash": "sha256:" + hashlib.sha256(datapackage).hexdigest()}
    with zipfile.ZipFile(path, "w") as z:
        z.write(archive, name, compress_type=zipfile.ZIP_STORED)
        z.writestr("datapackage.json", datapackage, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("datapackage-digest.json", json.dumps(digest_file).encode(), compress_type=zipfile.ZIP_DEFLATED)


def write_wacz_of_entries(path: str, count: int) -> None:
    """A package of a small archive and `count` small files listed beside it, as
    a crawl with a page list per page has them: what the reading of the ZIP
    and of datapackage.json must do once an entry."""
    files = {f"pages/page-{n}.jsonl": b'{"url": "http://example.com/%d"}\n' % n for n in range(count)}
    files["archive/small.warc"] = b"WARC/1.1\r\nWARC-Type: resource\r\nContent-Length: 1\r\n\r\nx\r\n\r\n"
    resources = [{"name": os.path.basename(name), "path": name, "hash": "sha256:" + hashlib.sha256(data).hexdigest(), "bytes": len(data)}
                 for name, data in files.items()]
    with zipfile.ZipFile(path, "w") as z:
        for name, data in files.items():
            z.writestr(name, data, compress_type=zipfile.ZIP_STORED if name.startswith("archive/") else zipfile.ZIP_DEFLATED)
        z.writestr("datapackage.json", json.dumps({"profile": "data-package", "resources": resources}, indent=2), zipfile.ZIP_DEFLATED)


def read_and_hash(path: str) -> str:
    """The least any signer of a package must do: read its archives once and hash them."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            digest.update(block)
    return digest.hexdigest()


def sign_package(path: str, output: str) -> None:
    if os.path.exists(output):
        os.unlink(output)
    vellumark_tools.sign_wacz(path, lambda entry: STORE, output)


MEMORY_CASES = ("check", "index", "census", "manifest", "sign", "iter_records")


def file_memory_probe(case: str, path: str, output: str) -> None:
    """Child process: peak resident memory of one pass of the tools over a file."""
    if case == "sign":
        sign_file(path, output)
    elif case == "check":
        vellumark_tools.check(path)
    elif case == "index":
        index_file(path)
    elif case == "census":
        vellumark_tools.census(path)
    elif case == "manifest":
        vellumark_tools.read_manifest(path)
    else:
        iterate_file(path)
    print(_status_kib("VmHWM") * 1024)


def peak_memory(case: str, path: str, output: str) -> int:
    out = subprocess.run([sys.executable, __file__, "--file-memory-probe", case, path, output],
                         capture_output=True, text=True, check=True)
    return int(out.stdout)


def one_record_gz(path: str, body_size: int, zeros: bool) -> None:
    """A .warc.gz of one record whose body is `body_size` bytes, written in
    pieces: text-like bytes, or zeros (a 1 GiB body of zeros is a 1 MB file)."""
    head = f"WARC/1.1\r\nWARC-Type: resource\r\nWARC-Target-URI: file:///big\r\nContent-Length: {body_size}\r\n\r\n".encode()
    piece = bytes(MIB) if zeros else (_TEXT[0] if _TEXT else _page(random.Random(SEED), MIB))[:MIB]
    compressor = zlib.compressobj(9 if zeros else 1, zlib.DEFLATED, 31)
    with open(path, "wb") as out:
        out.write(compressor.compress(head))
        left = body_size
        while left:
            n = min(left, len(piece))
            out.write(compressor.compress(piece[:n]))
            left -= n
        out.write(compressor.compress(b"\r\n\r\n") + compressor.flush())


def print_files(name: str, results: Dict[str, float], command: str) -> None:
    for case, seconds in results.items():
        print(f"  files  {name:10} {case:22} {seconds * 1e3:9.1f} ms", flush=True)
    print(f"         ({command})", flush=True)


def time_corpus(archive: bytes, name: str, directory: str, runs: int, with_10: bool) -> Dict[str, float]:
    """Every tool over a per-record .warc.gz of `archive` against inflating it."""
    gz = os.path.join(directory, f"{name}.warc.gz")
    per_record_gz(archive, gz)
    output = os.path.join(directory, f"{name}.c2pa.warc.gz")
    cases: Dict[str, Callable[[], Any]] = {
        "inflate": lambda: inflate_file(gz),
        "iter_records": lambda: iterate_file(gz),
        "sign": lambda: sign_file(gz, output),
        "index": lambda: index_file(gz),
        "census": lambda: vellumark_tools.census(gz),
        "check": lambda: vellumark_tools.check(gz),
    }
    if with_10:
        gz10 = os.path.join(directory, f"{name}-1.0.warc.gz")
        per_record_gz(archive, gz10, b"1.0")
        cases["iter_records 1.0"] = lambda: iterate_file(gz10)
    if FastwarcIterator is not None:
        cases["fastwarc"] = lambda: fastwarc_file(gz)
    results = interleaved(cases, runs)
    print_files(name, results, f"{os.path.getsize(gz) / 1e6:.0f} MB per-record .warc.gz, {record_count(archive):,} records")
    return results


def time_files(crawl: bytes, quick: bool, runs: int) -> Dict[str, Any]:
    """The tools on files: the crawl and small-page corpora as per-record
    .warc.gz against inflating the same file; WARC/1.0 against 1.1; a plain
    .warc streamed against read_records on its bytes; index of a million tiny
    records; one thread against two on a large file; signing a WACZ; and peak
    memory of every command on a very large record and on a gzip bomb."""
    rng = random.Random(SEED + 1)
    result: Dict[str, Any] = {}
    largest = max(r["length"] for r in vellumark.read_records(crawl))
    result["largest_record"] = largest
    with tempfile.TemporaryDirectory(prefix="vellumark-bench-") as directory:
        result["crawl"] = time_corpus(crawl, "crawl", directory, runs, with_10=True)
        small = small_page_corpus(1600 if quick else 16_000, rng)
        result["small"] = time_corpus(small, "small", directory, runs, with_10=False)

        plain = os.path.join(directory, "crawl.warc")
        with open(plain, "wb") as out:
            out.write(crawl)
        result["plain"] = interleaved({"read_records": lambda: record_count(crawl), "iter_records": lambda: iterate_file(plain)}, runs)
        print_files("plain", result["plain"], "the crawl corpus as a plain .warc, against read_records on its bytes in memory")

        tiny = os.path.join(directory, "tiny.warc.gz")
        per_record_gz(tiny_corpus(10_000 if quick else 1_000_000, rng), tiny)
        result["tiny"] = interleaved({"inflate": lambda: inflate_file(tiny), "index": lambda: index_file(tiny)}, max(1, runs // 2))
        print_files("tiny", result["tiny"], f"{10_000 if quick else 1_000_000:,} records of 0 to 64 bytes, per-record .warc.gz")

        large = os.path.join(directory, "large.warc.gz")
        with open(os.path.join(directory, "crawl.warc.gz"), "rb") as part, open(large, "wb") as out:
            block = part.read()
            for _ in range(1 if quick else max(1, (1 << 30) // len(block))):
                out.write(block)
        result["threads"] = interleaved({"index --threads 1": lambda: index_file(large, 1),
                                         "index --threads 2": lambda: index_file(large, 2)}, max(1, runs // 2))
        print_files("large", result["threads"], f"{os.path.getsize(large) / 1e6:.0f} MB per-record .warc.gz")

        package = os.path.join(directory, "crawl.wacz")
        write_wacz(os.path.join(directory, "crawl.warc.gz"), package)
        result["wacz"] = interleaved({"read and hash": lambda: read_and_hash(package),
                                      "sign_wacz": lambda: sign_package(package, os.path.join(directory, "crawl.c2pa.wacz"))}, runs)
        print_files("wacz", result["wacz"], "a WACZ of the crawl corpus")
        result["entries"] = {}
        for count in ((500, 5000) if quick else (2000, 20000)):
            many = os.path.join(directory, f"entries-{count}.wacz")
            write_wacz_of_entries(many, count)
            seconds = interleaved({"check_wacz": lambda: vellumark_tools.check_wacz(many)}, runs)["check_wacz"]
            result["entries"][count] = seconds
            print(f"  files  check_wacz {count:6} entries {seconds * 1e3:8.1f} ms {seconds / count * 1e6:6.1f} us/entry", flush=True)

        result["memory"] = {}
        big = os.path.join(directory, "big-record.warc.gz")
        one_record_gz(big, (8 if quick else 500) * MIB, zeros=False)
        result["big_record"] = (8 if quick else 500) * MIB
        bomb = os.path.join(directory, "bomb.warc.gz")
        one_record_gz(bomb, (64 if quick else 1024) * MIB, zeros=True)
        for label, path in (("500 MiB record", big), ("1 GiB of zeros", bomb), ("crawl", os.path.join(directory, "crawl.warc.gz"))):
            for case in MEMORY_CASES:
                peak = peak_memory(case, path, os.path.join(directory, "out.warc.gz"))
                result["memory"][f"{case} {label}"] = peak
                print(f"  files  memory {case:12} {label:16} peak {peak / MIB:7.1f} MiB", flush=True)
        result["bomb_size"] = os.path.getsize(bomb)
    return result


def file_targets(files: Dict[str, Any]) -> List[Tuple[str, Optional[float], str, bool]]:
    checks: List[Tuple[str, Optional[float], str, Callable[[float], bool]]] = []
    for corpus in ("crawl", "small"):
        row = files[corpus]
        base = row["inflate"]
        checks.append((f"{corpus}: iter_records (every body) / isal inflate", row["iter_records"] / base, "<= 1.0", lambda x: x <= 1.0))
        checks.append((f"{corpus}: fastwarc (every body) / iter_records", row["fastwarc"] / row["iter_records"] if "fastwarc" in row else None,
                       ">= 1.3", lambda x: x >= 1.3))
        checks.append((f"{corpus}: sign / isal inflate", row["sign"] / base, "<= 1.1", lambda x: x <= 1.1))
        for case in ("index", "census", "check"):
            checks.append((f"{corpus}: {case} / isal inflate", row[case] / base, "<= 0.65", lambda x: x <= 0.65))
    crawl = files["crawl"]
    checks.append(("crawl: iter_records WARC/1.0 / WARC/1.1", crawl["iter_records 1.0"] / crawl["iter_records"], "<= 1.05", lambda x: x <= 1.05))
    checks.append(("plain .warc: iter_records / read_records in memory", files["plain"]["iter_records"] / files["plain"]["read_records"],
                   "<= 1.1", lambda x: x <= 1.1))
    checks.append(("tiny (1,000,000 records): index / isal inflate", files["tiny"]["index"] / files["tiny"]["inflate"], "<= 2",
                   lambda x: x <= 2))
    threads = files["threads"]
    checks.append(("large file: index --threads 2 / --threads 1", threads["index --threads 2"] / threads["index --threads 1"],
                   "report", lambda x: True))
    checks.append(("wacz: sign_wacz / reading the archive once with SHA-256", files["wacz"]["sign_wacz"] / files["wacz"]["read and hash"],
                   "<= 1.3", lambda x: x <= 1.3))
    sizes = sorted(files["entries"])
    per_entry = [files["entries"][n] / n for n in sizes]
    checks.append((f"wacz: check_wacz time per entry, {sizes[-1]:,} / {sizes[0]:,} entries", per_entry[-1] / per_entry[0], "<= 1.5 (linear)",
                   lambda x: x <= 1.5))
    memory = files["memory"]
    for label in ("500 MiB record", "1 GiB of zeros"):
        worst = max(v for k, v in memory.items() if k.endswith(label) and not k.startswith("iter_records"))
        checks.append((f"peak memory, every command, {label} (MiB)", worst / MIB, "<= 64", lambda x: x <= 64))
    for label, largest in (("crawl", files["largest_record"]), ("500 MiB record", files["big_record"])):
        bodies = memory[f"iter_records {label}"] / MIB
        checks.append((f"peak memory, iter_records reading every body, {label} (MiB)", bodies, f"<= 64 + {largest / MIB:.1f}",
                       lambda x, largest=largest: x <= 64 + largest / MIB))
    return [(what.replace("isal", INFLATE_NAME), value, goal, value is not None and ok(value)) for what, value, goal, ok in checks]


# ---------------------------------------------------------------------------- report


def seconds_of(rows: List[Dict[str, Any]], corpus: str, case: str) -> Optional[float]:
    return next((r["seconds"] for r in rows if r["corpus"] == corpus and r["case"] == case), None)


def targets(rows: List[Dict[str, Any]], memory: List[Dict[str, Any]]) -> List[Tuple[str, Optional[float], str, bool]]:
    """(what, measured ratio, goal, met) for every target."""
    def ratio(corpus: str, slow: str, fast: str) -> Optional[float]:
        a, b = seconds_of(rows, corpus, slow), seconds_of(rows, corpus, fast)
        return None if a is None or b is None else a / b

    checks = [
        ("crawl: fastwarc time / read_records time", ratio("crawl", "fastwarc", "read_records"), ">= 1.5", lambda x: x >= 1.5),
        ("crawl: warcio time / read_records time", ratio("crawl", "warcio", "read_records"), ">= 7", lambda x: x >= 7),
        ("tiny: fastwarc time / read_records time", ratio("tiny", "fastwarc", "read_records"), ">= 2", lambda x: x >= 2),
        ("tiny: warcio time / read_records time", ratio("tiny", "warcio", "read_records"), ">= 10", lambda x: x >= 10),
        ("bulk: read_records time / copy time", ratio("bulk", "read_records", "copy"), "<= 1.25", lambda x: x <= 1.25),
        ("bulk: append_manifest time / copy time", ratio("bulk", "append_manifest", "copy"), "<= 1.25", lambda x: x <= 1.25),
        ("bulk: read_manifest time / copy time", ratio("bulk", "read_manifest", "copy"), "<= 0.02", lambda x: x <= 0.02),
    ]
    for row in memory:
        checks.append((f"bulk: {row['case']} peak / (input + output)", row["ratio"], "<= 1.10", lambda x: x <= 1.10))
    return [(what, value, goal, value is not None and ok(value)) for what, value, goal, ok in checks]


def print_table(rows: List[Dict[str, Any]], checks: List[Tuple[str, Optional[float], str, bool]], quick: bool) -> None:
    print()
    print(f"{'corpus':8}{'case':18}{'records':>10}{'MB':>9}{'ms':>11}{'MB/s':>10}{'records/s':>13}")
    for r in rows:
        print(f"{r['corpus']:8}{r['case']:18}{r['records']:>10}{r['bytes'] / 1e6:>9.1f}{r['seconds'] * 1e3:>11.2f}"
              f"{r['mb_per_s']:>10.0f}{r['records_per_s']:>13.0f}")
    print()
    for what, value, goal, met in checks:
        if value is None:  # only a missing peer leaves a ratio without a value
            print(f"skip  {what:58} {'':>8}  ({PEERS_MISSING})")
        elif quick:  # corpora this small and one run say nothing about speed
            print(f"n/a   {what:58} {value:>8.3f}  (target {goal}; not measured in quick mode)")
        else:
            print(f"{'met ' if met else 'MISS'}  {what:58} {value:>8.3f}  (target {goal})")


def plot(rows: List[Dict[str, Any]], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    corpora = list(dict.fromkeys(r["corpus"] for r in rows))
    names = [n for n in ("read_records", "fastwarc", "warcio", "copy") if any(r["case"] == n for r in rows)]
    fig, ax = plt.subplots(figsize=(8, 4.5))
    width = 0.8 / len(names)
    for i, name in enumerate(names):
        values = [next((r["mb_per_s"] for r in rows if r["corpus"] == c and r["case"] == name), 0) for c in corpora]
        ax.bar([x + i * width for x in range(len(corpora))], values, width, label=name)
    ax.set_xticks([x + width * (len(names) - 1) / 2 for x in range(len(corpora))], corpora)
    ax.set_ylabel("MB/s (log scale)")
    ax.set_yscale("log")
    ax.set_title("read_records throughput against the peers and a plain copy")
    ax.legend(loc="upper center", ncol=len(names))
    ax.set_ylim(top=ax.get_ylim()[1] * 4)  # room for the legend
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot written to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small corpora and one run: checks that the script works")
    parser.add_argument("--files", action="store_true", help="only the tools on files (vellumark_tools), not the module in memory")
    parser.add_argument("--runs", type=int, default=None, help="timed runs per case (default 5, quick 1)")
    parser.add_argument("--json", metavar="FILE", help="write the results as JSON")
    parser.add_argument("--plot", metavar="FILE.png", help="draw throughput per corpus (needs matplotlib)")
    parser.add_argument("--memory-probe", nargs=2, metavar=("CASE", "PATH"), help=argparse.SUPPRESS)
    parser.add_argument("--file-memory-probe", nargs=3, metavar=("CASE", "PATH", "OUTPUT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_probe:
        memory_probe(*args.memory_probe)
        return
    if args.file_memory_probe:
        file_memory_probe(*args.file_memory_probe)
        return

    runs = args.runs or (1 if args.quick else 5)
    print(f"vellumark {vellumark.__version__}, Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, {runs} runs")
    corpora = make_corpora(args.quick)
    for name, archive in corpora.items():
        print(f"  {name:6} {len(archive) / 1e6:8.1f} MB, {record_count(archive)} records")
    rows: List[Dict[str, Any]] = []
    memory: List[Dict[str, Any]] = []
    checks: List[Tuple[str, Optional[float], str, bool]] = []
    if not args.files:
        check_agreement(corpora["crawl"])
        rows = time_all(corpora, runs)
        memory = measure_memory(corpora["bulk"])
        checks += targets(rows, memory)
    files = time_files(corpora["crawl"], args.quick, runs)
    checks += file_targets(files)
    print_table(rows, checks, args.quick)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"runs": runs, "quick": args.quick, "python": sys.version, "results": rows, "memory": memory,
                       "files": files,
                       "targets": [{"what": w, "value": v, "goal": g, "met": m} for w, v, g, m in checks]}, f, indent=2)
    if args.plot and rows:
        plot(rows, args.plot)


if __name__ == "__main__":
    main()
