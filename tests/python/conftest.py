import pytest

import _qv_py


@pytest.fixture
def store_root(tmp_path):
    return tmp_path / "store"


@pytest.fixture
def store(store_root):
    return _qv_py.QvStore.open(str(store_root))
