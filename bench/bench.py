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

The "files" rows put the crawl corpus on disk, as users hold it (plain, a gzip
member per record in WARC/1.1 and 1.0, one gzip member), and time the tools
package (vellumark_tools) on it against inflating the same file member by
member, cases taking turns round by round; peak memory is read from a child
process per layout.
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
from typing import Any, Callable, Dict, List, Optional, Tuple

import vellumark
import vellumark_tools
from vellumark_tools import members

try:
    from warcio.archiveiterator import ArchiveIterator as WarcioIterator
except ImportError:  # a peer missing on this interpreter is left out of the table
    WarcioIterator = None
try:
    from fastwarc.warc import ArchiveIterator as FastwarcIterator
except ImportError:
    FastwarcIterator = None

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


def write_layouts(crawl: bytes, directory: str) -> Dict[str, str]:
    """The crawl corpus on disk as users hold it: an uncompressed .warc; a
    .warc.gz with a gzip member per record, as crawlers write it; the same in
    WARC/1.0, as most crawlers still write; and one gzip member for it all."""
    ranges = [(r["offset"], r["offset"] + r["length"]) for r in vellumark.read_records(crawl)]
    paths = {name: os.path.join(directory, name) for name in ("crawl.warc", "per-record.warc.gz", "per-record-1.0.warc.gz", "one-member.warc.gz")}
    with open(paths["crawl.warc"], "wb") as out:
        out.write(crawl)
    with open(paths["per-record.warc.gz"], "wb") as v11, open(paths["per-record-1.0.warc.gz"], "wb") as v10:
        for start, end in ranges:
            v11.write(gzip.compress(crawl[start:end], 6, mtime=0))
            v10.write(gzip.compress(b"WARC/1.0" + crawl[start + 8 : end], 6, mtime=0))
    with open(paths["one-member.warc.gz"], "wb") as out:
        out.write(gzip.compress(crawl, 6, mtime=0))
    return paths


def inflate_file(path: str) -> int:
    """Every member of a .warc.gz inflated in turn with the default inflater (isal when installed): the reference."""
    with open(path, "rb") as stream:
        return sum(1 for _ in members.MemberReader(stream.read).pieces())


def iterate_file(path: str) -> int:
    return sum(1 for _ in vellumark_tools.iter_records(path))


def sign_file(path: str, output: str) -> None:
    if os.path.exists(output):
        os.unlink(output)  # a first run: renaming over an old output would also free its pages
    vellumark_tools.sign(path, STORE, output)


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


def write_wacz_of_entries(archive: str, path: str, count: int) -> None:
    """A package of the archive and `count` small files listed beside it, as a
    crawl with a page list per page has them: what the reading of the ZIP and
    of datapackage.json must do once an entry."""
    files = {f"pages/page-{n}.jsonl": b'{"url": "http://example.com/%d"}\n' % n for n in range(count)}
    with open(archive, "rb") as f:
        files["archive/" + os.path.basename(archive)] = f.read()
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


def file_memory_probe(case: str, path: str, output: str) -> None:
    """Child process: peak resident memory of one pass of the tools over a file."""
    if case == "sign":
        sign_file(path, output)
    else:
        iterate_file(path)
    print(_status_kib("VmHWM") * 1024)


def peak_memory(case: str, path: str, output: str) -> int:
    out = subprocess.run([sys.executable, __file__, "--file-memory-probe", case, path, output],
                         capture_output=True, text=True, check=True)
    return int(out.stdout)


def time_files(crawl: bytes, quick: bool, runs: int) -> Dict[str, Any]:
    """The tools on the crawl corpus on disk: iter_records and sign against
    inflating the same per-record file (and FastWARC reading it), WARC/1.0
    against 1.1, the uncompressed archive streamed against read_records on its
    bytes in memory, inflate time per member at two sizes, and peak memory of
    every layout."""
    result: Dict[str, Any] = {"inflater": members.inflater_name(members.default_inflater())}
    largest = max(r["length"] for r in vellumark.read_records(crawl))
    result["largest_record"] = largest
    with tempfile.TemporaryDirectory(prefix="vellumark-bench-") as directory:
        paths = write_layouts(crawl, directory)
        output = os.path.join(directory, "signed.warc.gz")
        gz, gz10, plain = paths["per-record.warc.gz"], paths["per-record-1.0.warc.gz"], paths["crawl.warc"]
        cases: Dict[str, Callable[[], Any]] = {
            "inflate": lambda: inflate_file(gz),
            "iter_records": lambda: iterate_file(gz),
            "iter_records 1.0": lambda: iterate_file(gz10),
            "sign": lambda: sign_file(gz, output),
        }
        if FastwarcIterator is not None:
            cases["fastwarc"] = lambda: fastwarc_file(gz)
        result["per_record"] = interleaved(cases, runs)
        result["plain"] = interleaved({"read_records": lambda: record_count(crawl), "iter_records": lambda: iterate_file(plain)}, runs)
        package = os.path.join(directory, "crawl.wacz")
        write_wacz(gz, package)
        result["wacz"] = interleaved({"read and hash": lambda: read_and_hash(package),
                                      "sign_wacz": lambda: sign_package(package, os.path.join(directory, "crawl.c2pa.wacz"))}, runs)
        for name, seconds in {**result["per_record"], **{f"plain {k}": v for k, v in result["plain"].items()},
                              **{f"wacz {k}": v for k, v in result["wacz"].items()}}.items():
            print(f"  files  {name:22} {seconds * 1e3:9.1f} ms", flush=True)
        result["members"] = {}
        for count in ((250, 1000) if quick else (2000, 16000)):
            part = os.path.join(directory, f"first-{count}.warc.gz")
            with open(part, "wb") as out:
                out.write(first_members(gz, count))
            seconds = interleaved({"inflate": lambda: inflate_file(part)}, runs)["inflate"]
            result["members"][count] = seconds
            print(f"  files  inflate {count:6} members {seconds * 1e3:8.1f} ms {seconds / count * 1e6:6.1f} us/member", flush=True)
        result["entries"] = {}
        for count in ((500, 5000) if quick else (2000, 20000)):
            many = os.path.join(directory, f"entries-{count}.wacz")
            write_wacz_of_entries(first_part(gz, directory), many, count)
            seconds = interleaved({"check_wacz": lambda: vellumark_tools.check_wacz(many)}, runs)["check_wacz"]
            result["entries"][count] = seconds
            print(f"  files  check_wacz {count:6} entries {seconds * 1e3:8.1f} ms {seconds / count * 1e6:6.1f} us/entry", flush=True)
        result["memory"] = {}
        for layout, path in paths.items():
            for case in ("iter_records", "sign"):
                peak = peak_memory(case, path, os.path.join(directory, "out-" + layout))
                result["memory"][f"{case} {layout}"] = peak
                print(f"  files  {case:12} {layout:24} peak {peak / MIB:7.1f} MiB", flush=True)
    return result


def first_part(path: str, directory: str) -> str:
    """The first 100 gzip members of a file, as a file beside it."""
    part = os.path.join(directory, "first-100.warc.gz")
    with open(part, "wb") as out:
        out.write(first_members(path, 100))
    return part


def first_members(path: str, count: int) -> bytes:
    """The first `count` gzip members of a file, byte for byte."""
    with open(path, "rb") as stream:
        end = 0
        for n, piece in enumerate(members.MemberReader(stream.read).pieces()):
            if n == count:
                break
            end = piece.offset + (piece.length or 0)
        stream.seek(0)
        return stream.read(end)


def file_targets(files: Dict[str, Any]) -> List[Tuple[str, Optional[float], str, bool]]:
    per_record, plain = files["per_record"], files["plain"]
    inflater = files["inflater"]
    counts = sorted(files["members"])
    growth = (files["members"][counts[-1]] / counts[-1]) / (files["members"][counts[0]] / counts[0])
    sizes = sorted(files["entries"])
    entry_growth = (files["entries"][sizes[-1]] / sizes[-1]) / (files["entries"][sizes[0]] / sizes[0])
    checks = [
        (f"files: iter_records / {inflater} inflate, per-record .warc.gz", per_record["iter_records"] / per_record["inflate"], "<= 1.1",
         lambda x: x <= 1.1),
        (f"files: sign / {inflater} inflate, per-record .warc.gz", per_record["sign"] / per_record["inflate"], "<= 1.2", lambda x: x <= 1.2),
        ("files: iter_records WARC/1.0 / WARC/1.1", per_record["iter_records 1.0"] / per_record["iter_records"], "<= 1.05", lambda x: x <= 1.05),
        ("files: fastwarc / iter_records, per-record .warc.gz",
         per_record["fastwarc"] / per_record["iter_records"] if "fastwarc" in per_record else None, ">= 1.0", lambda x: x >= 1.0),
        ("files: iter_records .warc / read_records in memory", plain["iter_records"] / plain["read_records"], "<= 1.3", lambda x: x <= 1.3),
        (f"files: {inflater} inflate time per member, {counts[-1]} / {counts[0]}", growth, "<= 1.5 (linear)", lambda x: x <= 1.5),
        (f"files: check_wacz time per entry, {sizes[-1]} / {sizes[0]} entries", entry_growth, "<= 1.5 (linear)", lambda x: x <= 1.5),
        ("files: sign_wacz / reading the archive once with SHA-256", files["wacz"]["sign_wacz"] / files["wacz"]["read and hash"], "<= 1.3",
         lambda x: x <= 1.3),
    ]
    bound = 64 * MIB + 3 * files["largest_record"]
    worst = max(files["memory"].values())
    checks.append(("files: peak memory, worst layout / (64 MiB + 3 x largest record)", worst / bound, "<= 1.0", lambda x: x <= 1.0))
    return [(what, value, goal, value is not None and ok(value)) for what, value, goal, ok in checks]


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
    check_agreement(corpora["crawl"])
    rows = time_all(corpora, runs)
    memory = measure_memory(corpora["bulk"])
    files = time_files(corpora["crawl"], args.quick, runs)
    checks = targets(rows, memory) + file_targets(files)
    print_table(rows, checks, args.quick)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"runs": runs, "quick": args.quick, "python": sys.version, "results": rows, "memory": memory,
                       "files": files,
                       "targets": [{"what": w, "value": v, "goal": g, "met": m} for w, v, g, m in checks]}, f, indent=2)
    if args.plot:
        plot(rows, args.plot)


if __name__ == "__main__":
    main()
