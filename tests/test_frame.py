"""The call frame: module attributes, argument binding, row lists and the
mapping of internal failures to PanicException."""
import re
import subprocess
import sys

import pytest

import ostrelline
from conftest import PanicException, raises_panic

NAMES = ["key_gen", "build_okvs", "initiate_queries", "randomize", "combine", "decrypt", "finish"]


def test_module_attributes():
    assert ostrelline.__all__ == NAMES
    assert ostrelline.__doc__ == (
        "A Python module for the cryptographic operations necessary to do feature extraction "
        "(element matching in two datasets)."
    )
    for name in NAMES:
        function = getattr(ostrelline, name)
        assert function.__name__ == name
        assert function.__module__ == "ostrelline"
    assert ostrelline.key_gen.__doc__ == (
        "Generates a key pair for this party, returning a tuple with (public_key: bytes, secret_key: bytes)."
    )
    assert ostrelline.build_okvs.__doc__.startswith("Builds an OKVS for one party.")
    for name in NAMES[2:]:
        assert getattr(ostrelline, name).__doc__ is None
    assert not hasattr(ostrelline, "PanicException")


def test_panic_exception_class():
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__doc__
    # The class is created once and reused.
    with pytest.raises(BaseException) as info:
        ostrelline.decrypt(b"", 5)
    assert type(info.value) is PanicException
    with pytest.raises(BaseException):
        try:
            ostrelline.randomize(bytearray(1))
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ostrelline.key_gen(1), "key_gen() takes 0 positional arguments but 1 was given"),
        (lambda: ostrelline.key_gen(x=1), "key_gen() got an unexpected keyword argument 'x'"),
        (lambda: ostrelline.combine(b"", b"", b""), "combine() takes 2 positional arguments but 3 were given"),
        (lambda: ostrelline.randomize(b"", b""), "randomize() takes 1 positional arguments but 2 were given"),
        (
            lambda: ostrelline.build_okvs(b"x", public_key=b"y"),
            "build_okvs() got multiple values for argument 'public_key'",
        ),
        (
            lambda: ostrelline.randomize(ciphertext=b""),
            "randomize() got an unexpected keyword argument 'ciphertext'",
        ),
        (
            lambda: ostrelline.finish(b"", b""),
            "finish() missing 3 required positional arguments: 'gamma_points', 'delta_points', and 'swift_secret_key'",
        ),
        (lambda: ostrelline.decrypt(b""), "decrypt() missing 1 required positional argument: 'bank_secret_key'"),
        (
            lambda: ostrelline.combine(),
            "combine() missing 2 required positional arguments: 'sender_ciphertexts' and 'receiver_ciphertexts'",
        ),
        (
            lambda: ostrelline.initiate_queries([], [], sender_okvs=b""),
            "initiate_queries() missing 2 required positional arguments: 'receiver_okvs' and 'swift_pk'",
        ),
        (
            lambda: ostrelline.initiate_queries(receiver_data=[]),
            "initiate_queries() missing 4 required positional arguments: 'sender_data', 'sender_okvs', "
            "'receiver_okvs', and 'swift_pk'",
        ),
        # Too many positional arguments are reported before any keyword problem,
        # keywords in the order given, and missing parameters last.
        (lambda: ostrelline.combine(b"", b"", b"", x=1), "combine() takes 2 positional arguments but 3 were given"),
        (
            lambda: ostrelline.build_okvs(b"", public_key=1, x=2),
            "build_okvs() got multiple values for argument 'public_key'",
        ),
        (lambda: ostrelline.build_okvs(b"", x=2, public_key=1), "build_okvs() got an unexpected keyword argument 'x'"),
        (lambda: ostrelline.decrypt(points=b"", bank=1), "decrypt() got an unexpected keyword argument 'bank'"),
        (lambda: ostrelline.decrypt(Points=b""), "decrypt() got an unexpected keyword argument 'Points'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_keywords_in_any_order(parties):
    assert ostrelline.combine(receiver_ciphertexts=b"", sender_ciphertexts=b"") == (b"", b"", b"", b"")
    pk, sk = parties["swift"]
    assert ostrelline.decrypt(bank_secret_key=sk, points=b"") == b""
    assert ostrelline.finish(
        swift_secret_key=sk, delta_points=b"", gamma_points=b"", receiver_points=b"", sender_points=b""
    ) == []
    store = ostrelline.build_okvs(strings_in_each_row=[], public_key=pk)
    assert len(store) == 2072


class RaisingLen(list):
    def __len__(self):
        raise RuntimeError("no length")


class RaisingIter(list):
    def __iter__(self):
        raise ValueError("iteration refused")


class TypeErrorIter(list):
    def __iter__(self):
        raise TypeError("bad iteration") from KeyError("root cause")


class Indexable:
    """A sequence by __getitem__ alone, whose __len__ raises."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        raise OverflowError("too long to tell")


@pytest.mark.parametrize(
    "rows, message",
    [
        ("abc", "argument 'strings_in_each_row': Can't extract `str` to `Vec`"),
        (["abc"], "argument 'strings_in_each_row': Can't extract `str` to `Vec`"),
        ([[1]], "argument 'strings_in_each_row': 'int' object cannot be converted to 'PyString'"),
        ([["a", b"b"]], "argument 'strings_in_each_row': 'bytes' object cannot be converted to 'PyString'"),
        ({("a",)}, "argument 'strings_in_each_row': 'set' object cannot be converted to 'Sequence'"),
        ([5], "argument 'strings_in_each_row': 'int' object cannot be converted to 'Sequence'"),
        ([{"a": 1}], "argument 'strings_in_each_row': 'dict' object cannot be converted to 'Sequence'"),
        ((x for x in []), "argument 'strings_in_each_row': 'generator' object cannot be converted to 'Sequence'"),
        (
            [[RaisingLen.__new__(RaisingLen)]],
            "argument 'strings_in_each_row': 'RaisingLen' object cannot be converted to 'PyString'",
        ),
        (TypeErrorIter([["a"]]), "argument 'strings_in_each_row': bad iteration"),
    ],
)
def test_row_list_messages(parties, rows, message):
    pk = parties["sender"][0]
    with pytest.raises(TypeError) as info:
        ostrelline.build_okvs(pk, rows)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_row_list_error_keeps_cause_and_other_errors_pass(parties):
    pk = parties["sender"][0]
    with pytest.raises(TypeError) as info:
        ostrelline.build_okvs(pk, TypeErrorIter([]))
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(ValueError, match="iteration refused"):
        ostrelline.build_okvs(pk, RaisingIter([["a"]]))
    with pytest.raises(UnicodeEncodeError):
        ostrelline.build_okvs(pk, [["ok", "\ud800"]])


def test_row_lists_accept_tuples_and_failing_len(parties):
    pk, _ = parties["sender"]
    assert len(ostrelline.build_okvs(pk, ((("a", "b"),)))) == 2264
    assert len(ostrelline.build_okvs(pk, RaisingLen([["a"], ["b"]]))) == 24 + 64 * (5 + 32)
    assert len(ostrelline.build_okvs(pk, Indexable([Indexable(["x"]), ("y",)]))) == 24 + 64 * (5 + 32)
    assert len(ostrelline.build_okvs(pk, [[], ["z"]])) == 24 + 64 * (5 + 32)


def test_row_list_names_each_parameter(parties):
    pk = parties["swift"][0]
    with pytest.raises(TypeError, match="^argument 'sender_data': Can't extract `str` to `Vec`$"):
        ostrelline.initiate_queries("x", 1, 2, 3, 4)
    with pytest.raises(TypeError, match="^argument 'receiver_data': 'int' object cannot be converted to 'Sequence'$"):
        ostrelline.initiate_queries([], 1, 2, 3, pk)
    # A bad row list is reported before a bad byte string.
    with pytest.raises(TypeError, match="strings_in_each_row"):
        ostrelline.build_okvs(bytearray(3), 7)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda pk, sk: ostrelline.build_okvs(bytearray(32), []), "The public key object should be of type `bytes`."),
        (
            lambda pk, sk: ostrelline.initiate_queries([], [], "s", b"", pk),
            "The sender_okvs object should be of type `bytes`.",
        ),
        (lambda pk, sk: ostrelline.randomize(memoryview(b"")), "The ciphertexts object should be of type `bytes`."),
        (
            lambda pk, sk: ostrelline.combine(None, b""),
            "The sender_ciphertexts object should be of type `bytes`.",
        ),
        (
            lambda pk, sk: ostrelline.combine(b"", None),
            "The receiver_ciphertexts object should be of type `bytes`.",
        ),
        (lambda pk, sk: ostrelline.decrypt(b"", [1]), "The bank_secret_key object should be of type `bytes`."),
        (lambda pk, sk: ostrelline.decrypt(b"".decode(), sk), "The points object should be of type `bytes`."),
        (lambda pk, sk: ostrelline.finish(b"", b"", 3, b"", sk), "The points object should be of type `bytes`."),
        (lambda pk, sk: ostrelline.finish(b"", b"", b"", b"", 1.5), "The swift_secret_key object should be of type `bytes`."),
    ],
)
def test_byte_string_type_messages(parties, call, text):
    pk, sk = parties["swift"]
    with raises_panic() as caught:
        call(pk, sk)
    assert caught.message.startswith(text + ": PyDowncastError { from: ")
    assert caught.message.endswith(', to: "PyBytes" }')


def test_refused_object_is_described_by_repr():
    with raises_panic(
        exact='The ciphertexts object should be of type `bytes`.: PyDowncastError { from: 1, to: "PyBytes" }'
    ):
        ostrelline.randomize(1)
    with raises_panic(
        exact="The public key object should be of type `bytes`.: PyDowncastError { from: bytearray(b'ab'), "
        'to: "PyBytes" }'
    ):
        ostrelline.build_okvs(bytearray(b"ab"), [])

    class Odd:
        def __repr__(self):
            raise RuntimeError("no repr")

    with raises_panic("The ciphertexts object should be of type `bytes`.: PyDowncastError { from: "):
        ostrelline.randomize(Odd())


def test_bytes_subclasses_are_accepted(parties):
    class MyBytes(bytes):
        pass

    pk, sk = parties["sender"]
    assert len(ostrelline.build_okvs(MyBytes(pk), [["a"]])) == 2264
    assert ostrelline.decrypt(MyBytes(b""), MyBytes(sk)) == b""


def test_fault_report_goes_to_stderr():
    code = (
        "import ostrelline\n"
        "for _ in range(2):\n"
        "    try:\n"
        "        ostrelline.randomize(b'x')\n"
        "    except BaseException as e:\n"
        "        print(type(e).__name__, e)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException range end index 32 out of range for slice of length 1"] * 2
    lines = result.stderr.splitlines()
    reports = [line for line in lines if "range end index 32 out of range for slice of length 1" in line]
    assert len(reports) == 2
    assert all("thread 'main'" in line and ".cpp:" in line for line in reports)
    # The hint on how to get a backtrace is printed for the first failure only.
    assert len(lines) == 3 and "backtrace" in lines[1]


def test_fault_report_names_the_calling_thread():
    # Another thread is named as the kernel knows it (prctl PR_SET_NAME, at most
    # 15 bytes): here set by the thread itself through the C library.
    code = (
        "import ctypes, threading\n"
        "import ostrelline\n"
        "libc = ctypes.CDLL(None, use_errno=True)\n"
        "def work(name):\n"
        "    if name is not None:\n"
        "        assert libc.prctl(15, ctypes.c_char_p(name), 0, 0, 0) == 0\n"  # PR_SET_NAME
        "    try:\n"
        "        ostrelline.randomize(b'x')\n"
        "    except BaseException:\n"
        "        pass\n"
        "for name in [b'ostr-worker-7', b'a-name-longer-than-fifteen', None]:\n"
        "    thread = threading.Thread(target=work, args=(name,))\n"
        "    thread.start()\n"
        "    thread.join()\n"
        "print(open('/proc/self/comm').read().strip())\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    reports = [line for line in result.stderr.splitlines() if "failed in ostrelline at" in line]
    names = [re.match(r"thread '([^']*)' failed in ostrelline at .*\.cpp:\d+:\d+: ", line).group(1)
             for line in reports]
    assert names[:2] == ["ostr-worker-7", "a-name-longer-t"], names
    # A thread that names itself nothing keeps the name of the process (from
    # Python 3.14 on, the interpreter names it after its Thread object).
    assert len(names) == 3 and names[2] not in ("", "main", "<unnamed>"), names
    if sys.version_info < (3, 14):
        assert names[2] == result.stdout.strip(), names


def test_module_initialises_once_per_process():
    code = (
        "import importlib.util, sys\n"
        "import ostrelline\n"
        "spec = importlib.util.find_spec('ostrelline')\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print('ImportError', 'once' in str(e))\n"
        "print(ostrelline.key_gen.__name__)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ImportError", "True", "key_gen"]
