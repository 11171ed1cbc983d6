"""Placeholder until the example lands."""
import vellumark

archive = vellumark.build_record("resource", "text/plain", "urn:uuid:1", b"hello")
print(vellumark.read_records(vellumark.append_manifest(archive, b"manifest", "urn:uuid:2")))
