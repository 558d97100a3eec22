"""The module object, the QvStore handle, digest_of and argument conversion."""

import array
import collections.abc
import importlib
import importlib.metadata
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import _qv_py
from _qv_py import QvStore, digest_of

EMPTY_DIGEST = "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
ABC_DIGEST = "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
VALID_ID = "sha256:" + "ab" * 32


# ------------------------------------------------------------------ module --


def test_attributes_in_registration_order():
    public = [name for name in vars(_qv_py) if not (name.startswith("__") and name != "__version__")]
    assert public == [
        "QvStore",
        "digest_of",
        "snapshot_filesystem",
        "checkout_filesystem",
        "read_manifest",
        "merge",
        "__version__",
    ]
    assert _qv_py.__doc__ == ""


def test_version_matches_the_installed_distribution():
    assert _qv_py.__version__ == "1.0.1"
    assert importlib.metadata.version("qivara") == _qv_py.__version__


def test_built_for_the_stable_abi():
    assert pathlib.Path(_qv_py.__file__).name == "_qv_py.abi3.so"


DOCS = [
    (
        lambda: _qv_py.digest_of,
        "(bytes)",
        "digest_of(bytes)\n--\n\n`qv.digest_of(bytes) -> str` \u2014 sanity helper used in tests and demos.",
    ),
    (
        lambda: _qv_py.snapshot_filesystem,
        "(store, agent_kind, fs_root, env, messages)",
        "snapshot_filesystem(store, agent_kind, fs_root, env, messages)\n--\n\n"
        "Capture a filesystem sandbox + env + chat trace into a `.qvimg`-style\n"
        "manifest. Returns the manifest CID (`sha256:...`).\n\n"
        '`messages` is a list of `{"role": str, "content": str}` dicts.',
    ),
    (
        lambda: _qv_py.checkout_filesystem,
        "(store, cid, target_path)",
        "checkout_filesystem(store, cid, target_path)\n--\n\n"
        "Restore the world-layer FS tree of an image into `target_path`.\n"
        "`target_path` must not already exist.",
    ),
    (
        lambda: _qv_py.read_manifest,
        "(store, cid)",
        "read_manifest(store, cid)\n--\n\n"
        "Load a manifest by CID and return it as a Python dict (decoded from\n"
        "the canonical JSON wire format).",
    ),
    (
        lambda: _qv_py.merge,
        "(store, a, b, alpha=None, dare_p=None, seed=None)",
        "merge(store, a, b, alpha=None, dare_p=None, seed=None)\n--\n\n"
        "Three-way merge B into A, auto-discovering the common ancestor. Returns\n"
        '`{"merged_cid": ..., "ancestor": ..., "overall": "clean"|"conflicted",\n'
        '"world_conflicts": [...], "trace_summary": "..."}`.',
    ),
    (
        lambda: QvStore.open,
        "(path)",
        "open(path)\n--\n\nOpen (or create) a Qivara store rooted at `path`.",
    ),
    (
        lambda: QvStore.physical_bytes,
        "($self)",
        "physical_bytes($self)\n--\n\nTotal physical bytes stored on disk (compressed).",
    ),
]


@pytest.mark.parametrize("get, signature, raw_doc", DOCS)
def test_docstrings_and_text_signatures(get, signature, raw_doc):
    func = get()
    assert func.__text_signature__ == signature
    # The interpreter strips the signature block it derived the signature from.
    assert func.__doc__ == raw_doc.split("\n--\n\n", 1)[1]


def test_signatures_are_introspectable():
    import inspect

    params = inspect.signature(_qv_py.merge).parameters
    assert list(params) == ["store", "a", "b", "alpha", "dare_p", "seed"]
    assert [p.default for p in params.values()][3:] == [None, None, None]


def test_reimport_returns_the_same_module_and_class():
    module, cls = _qv_py, _qv_py.QvStore
    del sys.modules["_qv_py"]
    try:
        again = importlib.import_module("_qv_py")
    finally:
        sys.modules["_qv_py"] = module
    assert again is module
    assert again.QvStore is cls
    assert importlib.reload(module) is module


SUBINTERPRETER_SCRIPT = textwrap.dedent(
    """
    import sys
    import _qv_py
    try:
        import _interpreters as subinterpreters
        make = lambda: subinterpreters.create(subinterpreters.new_config("legacy"))
        run = subinterpreters.exec
    except ImportError:
        import _xxsubinterpreters as subinterpreters
        make = lambda: subinterpreters.create(isolated=False)
        run = subinterpreters.run_string
    code = '''
    try:
        import _qv_py
        outcome = "imported"
    except ImportError as e:
        outcome = "ImportError: " + str(e)
    with open(OUT, "w") as f:
        f.write(outcome)
    '''
    interp = make()
    run(interp, "OUT = " + repr(sys.argv[1]) + "\\n" + code)
    subinterpreters.destroy(interp)
    # The main interpreter keeps working.
    print(_qv_py.digest_of(b"abc"))
    """
)


def test_second_interpreter_is_refused(tmp_path):
    try:
        importlib.import_module("_interpreters")
    except ImportError:
        pytest.importorskip("_xxsubinterpreters")
    out = tmp_path / "outcome.txt"
    script = tmp_path / "subinterpreter.py"
    script.write_text(SUBINTERPRETER_SCRIPT)
    done = subprocess.run([sys.executable, str(script), str(out)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == ABC_DIGEST
    outcome = out.read_text()
    assert outcome.startswith("ImportError: ")
    assert "sub-interpreters" in outcome


# -------------------------------------------------------------- internal error


@pytest.mark.parametrize("fault", ["runtime_error", "bad_alloc", "not_a_std_exception"])
def test_cpp_exception_becomes_internal_error(fault):
    with pytest.raises(BaseException) as info:
        try:
            digest_of(b"", _qv_test_fault=fault)
        except Exception:  # must not catch it
            pytest.fail("the internal error derives from Exception")
    internal = info.type
    assert issubclass(internal, BaseException)
    assert not issubclass(internal, Exception)
    assert internal.__module__ == "_qv_py"
    assert not hasattr(_qv_py, internal.__name__)  # not part of the public surface
    if fault == "runtime_error":
        assert str(info.value) == "injected fault"
    # The call after a fault works as before.
    assert digest_of(b"abc") == ABC_DIGEST


# -------------------------------------------------------------- QvStore class


def test_class_has_no_constructor():
    with pytest.raises(TypeError) as info:
        QvStore()
    assert str(info.value) == "No constructor defined for QvStore"
    with pytest.raises(TypeError, match="^No constructor defined for QvStore$"):
        QvStore.__new__(QvStore)


def test_class_identity_and_doc():
    assert QvStore.__name__ == "QvStore"
    assert QvStore.__module__ == "_qv_py"
    assert "store::QvStore" in QvStore.__doc__
    assert QvStore.__text_signature__ is None


def test_instances_hold_nothing_else(store):
    assert not hasattr(store, "__dict__")
    with pytest.raises(AttributeError):
        store.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (QvStore,), {})


def test_open_creates_the_layout(store_root):
    store = QvStore.open(path=str(store_root))
    assert sorted(p.name for p in store_root.iterdir()) == ["blobs", "images"]
    assert [p.name for p in (store_root / "blobs").iterdir()] == ["sha256"]
    assert store.physical_bytes() == 0
    # Opening again changes nothing and works on an instance too.
    again = store.open(str(store_root))
    assert repr(again) == repr(store) == f"<QvStore at {store_root}>"
    assert sorted(p.name for p in store_root.iterdir()) == ["blobs", "images"]


def test_physical_bytes_counts_regular_files_under_blobs_only(store, store_root):
    blobs = store_root / "blobs"
    (blobs / "sha256" / "ab").mkdir()
    (blobs / "sha256" / "ab" / "x.zst").write_bytes(b"x" * 100)
    (blobs / "stray").mkdir()
    (blobs / "stray" / "file").write_bytes(b"y" * 20)
    (store_root / "images" / "copy.json").write_bytes(b"z" * 1000)
    big = store_root.parent / "big"
    big.write_bytes(b"w" * 5000)
    (blobs / "link").symlink_to(big)
    assert store.physical_bytes() == 120
    assert isinstance(store.physical_bytes(), int)


def test_physical_bytes_of_a_removed_blob_dir_is_zero(store, store_root):
    import shutil

    shutil.rmtree(store_root / "blobs")
    assert store.physical_bytes() == 0


@pytest.mark.parametrize(
    "value",
    [b"/tmp/store", pathlib.Path("/tmp/store"), None, 3],
    ids=["bytes", "pathlib", "none", "int"],
)
def test_open_takes_str_only(value):
    with pytest.raises(TypeError) as info:
        QvStore.open(value)
    assert str(info.value).startswith("argument 'path': ")
    assert type(value).__name__ in str(info.value)
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value) == "argument 'path': " + str(info.value.__cause__)


@pytest.mark.parametrize(
    "call",
    [lambda: QvStore.open(), lambda: QvStore.open("a", "b"), lambda: QvStore.open(root="a")],
    ids=["missing", "surplus", "unknown-keyword"],
)
def test_open_binding_errors(call):
    with pytest.raises(TypeError):
        call()


def test_open_under_a_regular_file_is_an_io_error(tmp_path):
    (tmp_path / "file").write_text("")
    with pytest.raises(RuntimeError) as info:
        QvStore.open(str(tmp_path / "file" / "store"))
    assert str(info.value).startswith("io: ")
    assert str(info.value).endswith(")")  # the system's text, "... (os error N)"


def test_open_refuses_a_nul_byte_instead_of_cutting_the_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(RuntimeError, match="^io: path contains a NUL byte"):
        QvStore.open("cut\0rest")
    assert list(tmp_path.iterdir()) == []


def test_open_with_a_lone_surrogate_raises_the_encoding_error(tmp_path):
    with pytest.raises(UnicodeEncodeError):
        QvStore.open(str(tmp_path) + "/\udcff")


def test_relative_root_stays_relative(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    store = QvStore.open("rel/store")
    assert repr(store) == "<QvStore at rel/store>"
    assert (tmp_path / "rel" / "store" / "blobs" / "sha256").is_dir()
    # Resolved against the working directory each time it is used.
    (tmp_path / "other").mkdir()
    monkeypatch.chdir(tmp_path / "other")
    assert store.physical_bytes() == 0


# ------------------------------------------------------------ home expansion


@pytest.mark.parametrize(
    "text, expected",
    [
        ("~/s", "{home}/s"),
        ("~/a/b", "{home}/a/b"),
        ("~/", "{home}/"),
        ("~", "~"),
        ("~user/s", "~user/s"),
        ("x/~/s", "x/~/s"),
        ("~s", "~s"),
    ],
)
def test_home_expansion(tmp_path, monkeypatch, text, expected):
    home = tmp_path / "home"
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.chdir(tmp_path)
    store = QvStore.open(text)
    root = expected.format(home=home)
    assert repr(store) == f"<QvStore at {root}>"
    assert (pathlib.Path(root) / "images").is_dir()


def test_home_expansion_with_an_absolute_rest_replaces_home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    target = tmp_path / "elsewhere"
    store = QvStore.open("~/" + str(target))  # "~//tmp/..."
    assert repr(store) == f"<QvStore at {target}>"
    assert not (tmp_path / "home").exists()


def test_home_with_a_trailing_slash(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path) + "/")
    assert repr(QvStore.open("~/s")) == f"<QvStore at {tmp_path}/s>"


@pytest.mark.parametrize("home", [None, b"/tmp/not-utf8-\xff"], ids=["unset", "not-utf8"])
def test_no_expansion_without_a_usable_home(tmp_path, monkeypatch, home):
    if home is None:
        monkeypatch.delenv("HOME", raising=False)
    else:
        monkeypatch.setitem(os.environb, b"HOME", home)
    monkeypatch.chdir(tmp_path)
    store = QvStore.open("~/s")
    assert repr(store) == "<QvStore at ~/s>"
    assert (tmp_path / "~" / "s" / "images").is_dir()


# ---------------------------------------------------------------- digest_of


class ListBacked(collections.abc.Sequence):
    def __init__(self, items):
        self._items = list(items)

    def __getitem__(self, i):
        return self._items[i]

    def __len__(self):
        return len(self._items)


class LyingLength(ListBacked):
    def __len__(self):
        return 1 << 60


class BytesWithOwnIter(bytes):
    def __iter__(self):
        return iter([120, 121, 122])  # "xyz"


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "value",
    [
        b"abc",
        bytearray(b"abc"),
        [97, 98, 99],
        (97, 98, 99),
        memoryview(b"abc"),
        array.array("B", b"abc"),
        ListBacked([97, 98, 99]),
        LyingLength([97, 98, 99]),
        [IndexLike(97), True * 98, 99],
    ],
    ids=["bytes", "bytearray", "list", "tuple", "memoryview", "array", "sequence", "lying-len", "index"],
)
def test_digest_of_any_byte_sequence(value):
    assert digest_of(value) == ABC_DIGEST


def test_digest_of_known_values():
    assert digest_of(b"") == EMPTY_DIGEST
    assert digest_of([]) == EMPTY_DIGEST
    assert digest_of(bytes=b"abc") == ABC_DIGEST
    d = digest_of(bytes(range(256)) * 300)
    assert len(d) == 71 and d.startswith("sha256:") and d[7:] == d[7:].lower()
    assert digest_of(list(bytes(range(256)) * 300)) == d


def test_digest_of_bytes_subclass_is_read_through_its_iterator():
    assert digest_of(BytesWithOwnIter(b"abc")) == digest_of(b"xyz")


def gen():
    yield 1


@pytest.mark.parametrize(
    "value, exc, message",
    [
        ("abc", TypeError, "argument 'bytes': a str cannot be converted"),
        ("", TypeError, "argument 'bytes': a str cannot be converted"),
        (7, TypeError, "argument 'bytes': 'int' object cannot be converted to 'Sequence'"),
        ({1: 2}, TypeError, "argument 'bytes': 'dict' object cannot be converted to 'Sequence'"),
        (gen(), TypeError, "argument 'bytes': 'generator' object cannot be converted to 'Sequence'"),
        (None, TypeError, "argument 'bytes': 'NoneType' object cannot be converted to 'Sequence'"),
        ([1, "x"], TypeError, "argument 'bytes': 'str' object cannot be interpreted as an integer"),
        ([1.0], TypeError, "argument 'bytes': 'float' object cannot be interpreted as an integer"),
        ([1, 256], OverflowError, "out of range integral type conversion attempted"),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        ([2**70], OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_digest_of_conversion_errors(value, exc, message):
    with pytest.raises(exc) as info:
        digest_of(value)
    assert type(info.value) is exc
    assert str(info.value).startswith(message)
    if exc is TypeError:
        cause = info.value.__cause__
        assert type(cause) is TypeError
        assert str(info.value) == "argument 'bytes': " + str(cause)
    else:
        assert not str(info.value).startswith("argument")


class Boom(Exception):
    pass


class FailingIteration(ListBacked):
    def __init__(self, exc):
        super().__init__([1, 2])
        self.exc = exc

    def __iter__(self):
        yield 1
        raise self.exc


@pytest.mark.parametrize("exc", [Boom("from the iterator"), TypeError("from the iterator")], ids=["custom", "type"])
def test_digest_of_iterator_errors_pass_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        digest_of(FailingIteration(exc))
    assert info.value is exc


@pytest.mark.parametrize(
    "call",
    [lambda: digest_of(), lambda: digest_of(b"", b""), lambda: digest_of(b"", bytes=b""), lambda: digest_of(data=b"")],
    ids=["missing", "surplus", "repeated", "unknown-keyword"],
)
def test_digest_of_binding_errors(call):
    with pytest.raises(TypeError) as info:
        call()
    assert "digest_of()" in str(info.value)


# ------------------------------------------------- conversion of the image calls


def calls_with_store(store_value):
    return {
        "snapshot_filesystem": lambda: _qv_py.snapshot_filesystem(store_value, "agent", "/tmp/x", {}, []),
        "checkout_filesystem": lambda: _qv_py.checkout_filesystem(store_value, VALID_ID, "/tmp/x"),
        "read_manifest": lambda: _qv_py.read_manifest(store_value, VALID_ID),
        "merge": lambda: _qv_py.merge(store_value, VALID_ID, VALID_ID),
    }


@pytest.mark.parametrize("name", ["snapshot_filesystem", "checkout_filesystem", "read_manifest", "merge"])
@pytest.mark.parametrize("bad_store", [7, "store", None], ids=["int", "str", "none"])
def test_store_argument_must_be_a_handle(name, bad_store):
    with pytest.raises(TypeError) as info:
        calls_with_store(bad_store)[name]()
    message = str(info.value)
    assert message.startswith("argument 'store': ")
    assert type(bad_store).__name__ in message and "QvStore" in message
    assert isinstance(info.value.__cause__, TypeError)


# Each case: the call, the argument its first failing conversion names.
ARGUMENT_CASES = {
    "snapshot-agent_kind": (lambda s: _qv_py.snapshot_filesystem(s, b"agent", "/x", {}, []), "agent_kind"),
    "snapshot-fs_root": (lambda s: _qv_py.snapshot_filesystem(s, "a", pathlib.Path("/x"), {}, []), "fs_root"),
    "snapshot-env-pairs": (lambda s: _qv_py.snapshot_filesystem(s, "a", "/x", [("K", "V")], []), "env"),
    "snapshot-messages-tuple": (lambda s: _qv_py.snapshot_filesystem(s, "a", "/x", {}, ()), "messages"),
    "snapshot-order": (lambda s: _qv_py.snapshot_filesystem(s, 1, 2, 3, 4), "agent_kind"),
    "checkout-cid": (lambda s: _qv_py.checkout_filesystem(s, b"sha256:", "/x"), "cid"),
    "checkout-target": (lambda s: _qv_py.checkout_filesystem(s, VALID_ID, pathlib.Path("/x")), "target_path"),
    "read-cid": (lambda s: _qv_py.read_manifest(s, None), "cid"),
    "merge-a": (lambda s: _qv_py.merge(s, b"x", VALID_ID), "a"),
    "merge-b": (lambda s: _qv_py.merge(s, VALID_ID, 5), "b"),
    "merge-alpha": (lambda s: _qv_py.merge(s, VALID_ID, VALID_ID, alpha="0.5"), "alpha"),
    "merge-dare_p": (lambda s: _qv_py.merge(s, VALID_ID, VALID_ID, dare_p=[]), "dare_p"),
    "merge-seed-float": (lambda s: _qv_py.merge(s, VALID_ID, VALID_ID, seed=1.5), "seed"),
    "merge-seed-str": (lambda s: _qv_py.merge(s, VALID_ID, VALID_ID, None, None, "1"), "seed"),
    # Conversion runs before the ids are checked.
    "merge-order": (lambda s: _qv_py.merge(s, "bad", "bad", seed=1.5), "seed"),
}


@pytest.mark.parametrize("case", ARGUMENT_CASES.values(), ids=ARGUMENT_CASES.keys())
def test_argument_errors_name_the_argument(store, case):
    call, name = case
    with pytest.raises(TypeError) as info:
        call(store)
    assert str(info.value).startswith(f"argument '{name}': ")
    assert isinstance(info.value.__cause__, TypeError)


@pytest.mark.parametrize("seed", [-1, 2**64])
def test_merge_seed_out_of_range_is_the_interpreters_overflow_error(store, seed):
    with pytest.raises(OverflowError) as info:
        _qv_py.merge(store, VALID_ID, VALID_ID, seed=seed)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "call",
    [
        lambda s: _qv_py.merge(s, VALID_ID),
        lambda s: _qv_py.merge(s, VALID_ID, VALID_ID, 0.5, 0.7, 0, 1),
        lambda s: _qv_py.merge(s, VALID_ID, VALID_ID, beta=1),
        lambda s: _qv_py.merge(s, VALID_ID, VALID_ID, 0.5, alpha=0.5),
        lambda s: _qv_py.read_manifest(s),
        lambda s: _qv_py.checkout_filesystem(s, VALID_ID, "/x", "/y"),
        lambda s: _qv_py.snapshot_filesystem(s, "a", "/x", {}),
    ],
    ids=["merge-missing", "merge-surplus", "merge-unknown", "merge-repeated", "read-missing", "checkout-surplus",
         "snapshot-missing"],
)
def test_binding_errors_of_the_image_calls(store, call):
    with pytest.raises(TypeError):
        call(store)


BAD_IDS = [
    ("SHA256:" + "ab" * 32, "missing sha256: prefix in SHA256:" + "ab" * 32),
    ("", "missing sha256: prefix in "),
    ("sha256:" + "a" * 63, "not 64 hex chars: sha256:" + "a" * 63),
    ("sha256:" + "a" * 64 + "\n", "not 64 hex chars: sha256:" + "a" * 64 + "\n"),
    ("sha256:" + "a" * 62 + "\u00e9", "not 64 hex chars: sha256:" + "a" * 62 + "\u00e9"),
]


@pytest.mark.parametrize("cid, message", BAD_IDS)
@pytest.mark.parametrize(
    "call",
    [
        lambda s, cid: _qv_py.read_manifest(s, cid),
        lambda s, cid: _qv_py.checkout_filesystem(s, cid, "/nonexistent/target"),
        lambda s, cid: _qv_py.merge(s, cid, VALID_ID),
        lambda s, cid: _qv_py.merge(s, VALID_ID, cid),
    ],
    ids=["read_manifest", "checkout", "merge-a", "merge-b"],
)
def test_malformed_ids_are_value_errors(store, store_root, call, cid, message):
    with pytest.raises(ValueError) as info:
        call(store, cid)
    assert str(info.value) == "invalid digest: " + message
    assert not pathlib.Path("/nonexistent/target").exists()
