"""Each line marked "# E" must be a type error; nothing else may be."""

import vellumark

vellumark.read_records("text")  # E
vellumark.read_records(warc_data=b"")  # E
vellumark.build_record(b"resource", "text/plain", "id", b"")  # E
vellumark.build_record("resource", "text/plain", "id", b"", target_uri=b"uri")  # E
vellumark.append_manifest(b"", b"", 1)  # E
maybe: bytes = vellumark.read_manifest(b"")  # E
body: str = vellumark.read_records(b"")[0]["body"]  # E
vellumark.read_records(b"")[0]["missing"]  # E
offset: str = vellumark.read_records(b"")[0]["offset"]  # E
