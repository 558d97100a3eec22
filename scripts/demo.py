"""Qivara demo: open a store, show a content id and the store's size on disk.

Usage: python scripts/demo.py [STORE_DIR]   (default: ./demo-store)
"""

import sys

import _qv_py as qv


def main(argv: list[str]) -> int:
    root = argv[1] if len(argv) > 1 else "demo-store"
    store = qv.QvStore.open(root)
    print(f"qivara {qv.__version__}")
    print(f"store:          {store!r}")
    text = b"hello from qivara"
    print(f"digest_of({text!r}):")
    print(f"  {qv.digest_of(text)}")
    print(f"physical bytes: {store.physical_bytes()}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
