"""Archives on disk for vellumark: read, index, check, count and sign .warc and
.warc.gz files, WARC/1.1 and the older WARC/1.0, one record at a time.

    from vellumark_tools import iter_records, sign, read_manifest, census

The command `vellumark` (or `python -m vellumark_tools`) does the same from a shell.
"""

from .archive import ArchiveReader, Record, iter_records
from .errors import ArchiveError
from .signing import Signed, sign, sign_archive
from .survey import Census, Checked, Found, census, check, index_entries, read_manifest
from .wacz import SignedPackage, check_wacz, is_wacz, sign_wacz, signed_wacz_name, wacz_archives, wacz_manifests

__all__ = [
    "ArchiveError",
    "ArchiveReader",
    "Census",
    "Checked",
    "Found",
    "Record",
    "Signed",
    "SignedPackage",
    "census",
    "check",
    "check_wacz",
    "index_entries",
    "is_wacz",
    "iter_records",
    "read_manifest",
    "sign",
    "sign_archive",
    "sign_wacz",
    "signed_wacz_name",
    "wacz_archives",
    "wacz_manifests",
]
