"""Typed use of qeltypes: mypy --strict checks it against the package's
stubs, and the tests run it."""
import datetime
import io
from typing import Any, List, Optional

import qeltypes

small: qeltypes.Int8 = qeltypes.Int8(5)
half: qeltypes.Float16 = qeltypes.Float16(0.5)
blob = qeltypes.Blob(b"\x01", type=3)
stamp = qeltypes.Timestamp(2018, 13, 32)
values: List[Any] = [small, half, qeltypes.CString("c"), blob, stamp, datetime.datetime(2020, 1, 1)]

data: bytes = qeltypes.dumps(values, default=repr, utc=True)
back: Any = qeltypes.loads(data, typed=True, allow_trailing=False, max_depth=8, max_elements=None, max_bytes=1 << 20)
stream = io.BytesIO()
qeltypes.dump(values, stream)
stream.seek(0)
assert qeltypes.load(stream, typed=True) == back

stream = io.BytesIO()
with qeltypes.Writer(stream, "map", default=repr) as writer:
    writer.add("values", values)
written: int = writer.count
with qeltypes.Reader(io.BytesIO(stream.getvalue()), typed=True, max_elements=100) as reader:
    for key, value in reader:
        assert key == "values" and value == back
with qeltypes.events(io.BytesIO(stream.getvalue())) as events:
    kinds: List[str] = [kind for kind, qel_type, value in events]
    assert events.offset == len(stream.getvalue()) and kinds[0] == "start"

handle: int = qeltypes.to_variant(values)
assert qeltypes.from_variant(handle, typed=True) == back

try:
    qeltypes.loads(b"_QEL")
except qeltypes.DecodeError as e:
    offset: Optional[int] = e.offset
    expected: Optional[str] = e.expected
    print("DecodeError", offset, expected)
try:
    qeltypes.dumps({"a": object()})
except qeltypes.EncodeError as e:
    path: str = e.path
    print("EncodeError", path)
print(qeltypes.__version__, stamp.month, blob.type, len(blob.data))
