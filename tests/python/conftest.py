import pytest

import _qv_py


@pytest.fixture
def store_root(tmp_path):
    return tmp_path / "store"


@pytest.fixture
def store(store_root):
    return _qv_py.QvStore.open(str(store_root))


def put_blob(store_root, data: bytes) -> str:
    """Stores bytes as a blob the way the store lays them out; returns the digest."""
    import hashlib
    import subprocess

    hex_digest = hashlib.sha256(data).hexdigest()
    path = store_root / "blobs" / "sha256" / hex_digest[:2] / (hex_digest + ".zst")
    path.parent.mkdir(parents=True, exist_ok=True)
    compressed = subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout
    path.write_bytes(compressed)
    return "sha256:" + hex_digest
