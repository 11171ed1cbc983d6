"""Archives on disk for vellumark: read, index, check, count and sign .warc and
.warc.gz files, WARC/1.1 and the older WARC/1.0, one record at a time.

    from vellumark_tools import iter_records, sign, read_manifest, census

The command `vellumark` (or `python -m vellumark_tools`) does the same from a shell.
"""

import pkgutil

# A build tree puts the native reader (_reader) in a vellumark_tools directory
# of its own; installed, it sits here already.
__path__ = pkgutil.extend_path(__path__, __name__)

from .archive import ArchiveReader, Record, iter_records  # noqa: E402
from .binding import Binding, DataHash, Verdict  # noqa: E402
from .errors import ArchiveError  # noqa: E402
from .formats import census, check, data_hash, index_entries, read_manifest, sign, verify_binding  # noqa: E402
from .signing import Signed, sign_archive  # noqa: E402
from .survey import Census, Checked, Found  # noqa: E402
from .wacz import SignedPackage, check_wacz, is_wacz, sign_wacz, signed_wacz_name, wacz_archives, wacz_manifests  # noqa: E402

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
