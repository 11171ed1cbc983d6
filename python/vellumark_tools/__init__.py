"""Archives on disk for vellumark: read, index, check, count and sign .warc and
.warc.gz files, WARC/1.1 and the older WARC/1.0, one record at a time.

    from vellumark_tools import iter_records, sign, read_manifest, census

The command `vellumark` (or `python -m vellumark_tools`) does the same from a shell.
"""

from .archive import ArchiveReader, Record, iter_records
from .errors import ArchiveError
from .signing import Signed, sign
from .survey import Census, Checked, Found, census, check, index_entries, read_manifest

__all__ = [
    "ArchiveError",
    "ArchiveReader",
    "Census",
    "Checked",
    "Found",
    "Record",
    "Signed",
    "census",
    "check",
    "index_entries",
    "iter_records",
    "read_manifest",
    "sign",
]
