"""read_manifest over manifests placed in the store, and the error table it exercises."""

import hashlib
import json

import pytest

import _qv_py
from conftest import put_blob


def digest(data: bytes) -> str:
    return "sha256:" + hashlib.sha256(data).hexdigest()


D = {name: digest(name.encode()) for name in ["base", "diff", "cache", "fs", "env", "procs", "ledger", "trace", "p1"]}

FIELDS = {
    "schema_version": 1,
    "media_type": "application/vnd.qivara.image.v1+json",
    "agent": {"kind": "coder", "version": "1.0.1", "fingerprint": "qv-py"},
    "model": {"base": D["base"], "diff": D["diff"]},
    "cache": {"layout": "paged-batchinvariant-v1", "manifest": D["cache"]},
    "world": {"fs": D["fs"], "env": D["env"], "procs": D["procs"]},
    "effects": {"ledger": D["ledger"]},
    "trace": {"messages": D["trace"]},
    "created_at": "2024-05-06T07:08:09.123Z",
    "parents": [D["p1"]],
}


def manifest_text(**changes) -> bytes:
    fields = {**FIELDS, **changes}
    return json.dumps({k: v for k, v in fields.items() if v is not None}, separators=(",", ":")).encode()


def test_manifest_as_a_dict_with_sorted_keys(store, store_root):
    cid = put_blob(store_root, manifest_text())
    m = _qv_py.read_manifest(store, cid)
    assert list(m) == [
        "agent", "cache", "created_at", "effects", "media_type", "model", "parents", "schema_version", "trace", "world"
    ]
    assert list(m["agent"]) == ["fingerprint", "kind", "version"]
    assert list(m["world"]) == ["env", "fs", "procs"]
    assert m == {**FIELDS}
    assert type(m["schema_version"]) is int
    # A new dict every time; nothing is cached between calls.
    again = _qv_py.read_manifest(store=store, cid=cid)
    assert again == m and again is not m


@pytest.mark.parametrize(
    "stored, shown",
    [
        ("2024-05-06T07:08:09.123Z", "2024-05-06T07:08:09.123Z"),
        ("2024-05-06T07:08:09Z", "2024-05-06T07:08:09Z"),
        ("2024-05-06T07:08:09.123456789Z", "2024-05-06T07:08:09.123456789Z"),
        ("2024-05-06T08:08:09.5+01:00", "2024-05-06T07:08:09.500Z"),
    ],
)
def test_created_at_is_written_anew(store, store_root, stored, shown):
    cid = put_blob(store_root, manifest_text(created_at=stored))
    assert _qv_py.read_manifest(store, cid)["created_at"] == shown


def test_reading_rules(store, store_root):
    # Unknown keys skipped, parents optional, any key order.
    fields = dict(reversed([(k, v) for k, v in FIELDS.items() if k != "parents"]))
    text = json.dumps({"extra": [1, {"x": None}], **fields})
    m = _qv_py.read_manifest(store, put_blob(store_root, text.encode()))
    assert m["parents"] == []
    assert "extra" not in m
    # The array form of the record.
    array = json.dumps(list(FIELDS.values())).encode()
    assert _qv_py.read_manifest(store, put_blob(store_root, array)) == FIELDS


def test_missing_manifest_is_an_io_error(store):
    with pytest.raises(RuntimeError) as info:
        _qv_py.read_manifest(store, digest(b"never stored"))
    assert str(info.value).startswith("io: ")


def test_upper_case_id_passes_the_check_but_names_no_blob(store, store_root):
    cid = put_blob(store_root, manifest_text())
    with pytest.raises(RuntimeError, match="^io: "):
        _qv_py.read_manifest(store, "sha256:" + cid[7:].upper())


@pytest.mark.parametrize(
    "body, prefix",
    [
        (b"hello", "manifest: "),
        (b"", "manifest: "),
        (b'{"schema_version":1}', "manifest: missing field"),
        (b"[1,2,3] x", "manifest: "),
    ],
)
def test_a_blob_that_is_not_a_manifest_is_a_value_error(store, store_root, body, prefix):
    with pytest.raises(ValueError) as info:
        _qv_py.read_manifest(store, put_blob(store_root, body))
    assert str(info.value).startswith(prefix)
    assert " at line " in str(info.value)


def test_a_damaged_blob_is_an_integrity_error(store, store_root):
    cid = put_blob(store_root, manifest_text())
    other = put_blob(store_root, manifest_text(created_at="2020-01-01T00:00:00Z"))
    hex_a, hex_b = cid[7:], other[7:]
    path_a = store_root / "blobs" / "sha256" / hex_a[:2] / (hex_a + ".zst")
    path_b = store_root / "blobs" / "sha256" / hex_b[:2] / (hex_b + ".zst")
    path_a.write_bytes(path_b.read_bytes())
    with pytest.raises(RuntimeError) as info:
        _qv_py.read_manifest(store, cid)
    assert str(info.value).startswith("integrity: ")


def test_checkout_of_a_missing_image_fails_before_touching_the_target(store, tmp_path):
    target = tmp_path / "target"
    with pytest.raises(RuntimeError, match="^io: "):
        _qv_py.checkout_filesystem(store, digest(b"never stored"), str(target))
    assert not target.exists()
