from typing import Any, Sequence, SupportsFloat, SupportsIndex, final

__version__: str

@final
class QvStore:
    @staticmethod
    def open(path: str) -> QvStore: ...
    def physical_bytes(self) -> int: ...

def digest_of(bytes: bytes | bytearray | Sequence[SupportsIndex]) -> str: ...
def snapshot_filesystem(
    store: QvStore, agent_kind: str, fs_root: str, env: dict[str, str], messages: list[dict[str, Any]]
) -> str: ...
def checkout_filesystem(store: QvStore, cid: str, target_path: str) -> None: ...
def read_manifest(store: QvStore, cid: str) -> dict[str, Any]: ...
def merge(
    store: QvStore,
    a: str,
    b: str,
    alpha: SupportsFloat | SupportsIndex | None = None,
    dare_p: SupportsFloat | SupportsIndex | None = None,
    seed: SupportsIndex | None = None,
) -> dict[str, Any]: ...
