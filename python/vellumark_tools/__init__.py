"""Archives on disk for vellumark: read, index, check, count and sign .warc and
.warc.gz files, WARC/1.1 and the older WARC/1.0, one record at a time.

    from vellumark_tools import iter_records, sign, read_manifest, census

The command `vellumark` (or `python -m vellumark_tools`) does the same from a shell.
"""

from .archive import ArchiveReader, Record, iter_records
from .binding import Binding, DataHash, Verdict
from .errors import ArchiveError
from .signing import Signed, sign, sign_archive
from .survey import Census, Checked, Found, census, check, data_hash, index_entries, read_manifest, verify_binding
from .wacz import SignedPackage, check_wacz, is_wacz, sign_wacz, signed_wacz_name, wacz_archives, wacz_manifests

__all__ = [
    "ArchiveError",
    "ArchiveReader",
    "Binding",
    "Census",
    "Checked",
    "DataHash",
    "Found",
    "Record",
    "Signed",
    "SignedPackage",
    "Verdict",
    "census",
    "check",
    "check_wacz",
    "data_hash",
    "index_entries",
    "is_wacz",
    "iter_records",
    "read_manifest",
    "sign",
    "sign_archive",
    "sign_wacz",
    "signed_wacz_name",
    "verify_binding",
    "wacz_archives",
    "wacz_manifests",
]
