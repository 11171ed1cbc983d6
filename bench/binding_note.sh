#!/usr/bin/env bash
# The binding's placeholder workflow on two archives other tools wrote (pywb's
# per-record example.warc.gz and Warcat's at.warc, both WARC/1.0), command by
# command, in a temporary directory: hash after the placeholder and after the
# final store, check -v, and check -v after one byte of a record is changed.
#
#     bash bench/binding_note.sh      # needs vellumark on the PATH, and cbor2
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/tests/data/pywb/example.warc.gz" "$root/tests/data/warcat/at.warc" "$work"
mkdir "$work/examples" && cp "$root/examples/placeholder_store.py" "$work/examples"
cd "$work"

run() { echo "\$ $*"; set +e; "$@"; local status=$?; set -e; [ $status -eq 0 ] || echo "(exit status $status)"; }

# One byte of the first record's body changed; in a .warc.gz its gzip member is
# gzipped again, to its own length, so that nothing after it moves.
change_a_record() {
  "$python" - "$1" <<'PY'
import gzip, sys, zlib
path = sys.argv[1]
data = open(path, "rb").read()
if data[:2] != b"\x1f\x8b":
    at = data.index(b"\r\n\r\n") + 4
    changed = data[:at] + bytes([data[at] ^ 0x20]) + data[at + 1:]
else:
    inflater = zlib.decompressobj(wbits=31)
    record = bytearray(inflater.decompress(data))
    end = len(data) - len(inflater.unused_data)
    at = record.index(b"\r\n\r\n") + 4
    member = None
    for value in range(1, 256):
        record[at] ^= value
        member = next((m for m in (gzip.compress(bytes(record), level, mtime=0) for level in range(9, -1, -1)) if len(m) == end), None)
        if member:
            break
        record[at] ^= value
    changed = member + data[end:]
assert len(changed) == len(data)
open(path, "wb").write(changed)
print(f"changed the first record's body byte at offset {at}" + (" of its inflated member" if data[:2] == b"\x1f\x8b" else ""))
PY
}

echo "\$ python examples/placeholder_store.py placeholder placeholder.c2pa"
"$python" examples/placeholder_store.py placeholder placeholder.c2pa
for archive in example.warc.gz at.warc; do
  signed=${archive/.warc/.c2pa.warc}
  echo; echo "### $archive"
  run vellumark sign "$archive" --manifest placeholder.c2pa
  echo "\$ vellumark hash $signed > hash.json"; vellumark hash "$signed" > hash.json; cat hash.json
  echo "\$ python examples/placeholder_store.py final final.c2pa < hash.json"
  "$python" examples/placeholder_store.py final final.c2pa < hash.json
  run vellumark sign "$signed" --manifest final.c2pa
  run vellumark hash "$signed"
  run vellumark check -v "$signed"
  echo "\$ (one byte of the first record changed)"; change_a_record "$signed"
  run vellumark check -v "$signed"
done
