"""Hostile input: every function called with arbitrary objects in every
position, arbitrary bytes, wrong types, huge and empty lengths, unpaired
surrogates, nested tuples, subclasses of bytes, str and list, and objects
whose __len__, __iter__ or __repr__ misbehave.

The only outcomes allowed are a result of the documented type, TypeError,
UnicodeEncodeError, the error the hostile object itself raised while being
iterated, PanicException or MemoryError. Never a crash, never a SystemError
(the symptom of a Python error left set or lost), never an exception with an
empty message (MemoryError excepted: the interpreter's own has none).
Results that can be checked against the pure-Python reference are checked.
"""
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis.control import currently_in_test_context, event
from hypothesis import strategies as st

import ed25519_ref as ed
import ostrelline
from conftest import PanicException

SETTINGS = settings(
    max_examples=400,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    database=None,
)

PARAMS = {
    "key_gen": [],
    "build_okvs": ["public_key", "strings_in_each_row"],
    "initiate_queries": ["sender_data", "receiver_data", "sender_okvs", "receiver_okvs", "swift_pk"],
    "randomize": ["ciphertexts"],
    "combine": ["sender_ciphertexts", "receiver_ciphertexts"],
    "decrypt": ["points", "bank_secret_key"],
    "finish": ["sender_points", "receiver_points", "gamma_points", "delta_points", "swift_secret_key"],
}
ROW_PARAMS = {"strings_in_each_row", "sender_data", "receiver_data"}


class HostileError(Exception):
    """Raised by the hostile objects below; it may pass through a call."""


# --- hostile sequences and objects -----------------------------------------


class LyingLength(list):
    """Claims far more items than it has."""

    def __len__(self):
        return sys.maxsize


class NegativeLength(list):
    def __len__(self):
        return -5


class RaisingLength(list):
    def __len__(self):
        raise HostileError("__len__ refused")


class RaisingIter(list):
    def __iter__(self):
        raise HostileError("__iter__ refused")


class FailingHalfway(list):
    def __iter__(self):
        items = list(list.__iter__(self))
        yield from items[:1]
        raise HostileError("iteration stopped halfway")


class NonIterator(list):
    def __iter__(self):
        return 42


class ShrinkingWhileIterated(list):
    def __iter__(self):
        for item in list(list.__iter__(self)):
            yield item
            self.clear()


class MinimalSequence:
    """A sequence by __len__ and __getitem__ only."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class BytesSub(bytes):
    def __repr__(self):
        raise HostileError("bytes subclass repr")


class StrSub(str):
    def __str__(self):
        raise HostileError("str subclass __str__")


class RaisingRepr:
    def __repr__(self):
        raise HostileError("__repr__ refused")


class SurrogateRepr:
    def __repr__(self):
        return "\ud800 repr"


class NotStrRepr:
    def __repr__(self):
        return 17


class HugeRepr:
    def __repr__(self):
        return "r" * 200_000


class BytesLike:
    def __bytes__(self):
        return b"\x01" + bytes(31)

    def __len__(self):
        return 32


HOSTILE_SEQUENCES = [LyingLength, NegativeLength, RaisingLength, RaisingIter, FailingHalfway, NonIterator,
                     ShrinkingWhileIterated, MinimalSequence, tuple, list]
HOSTILE_OBJECTS = [RaisingRepr(), SurrogateRepr(), NotStrRepr(), HugeRepr(), BytesLike(), None, 0, -1, 2**200,
                   1.5, float("nan"), object(), bytearray(32), memoryview(bytes(32)), "", "bytes",
                   "\udc80", {}, set(), {"a": 1}, iter([["a"]]), (x for x in [["a"]]), range(3), ..., b"",
                   type, ostrelline.randomize]

# --- genuine values to mutate ------------------------------------------------

PK_S, SK_S = ostrelline.key_gen()
PK_R, SK_R = ostrelline.key_gen()
PK_Q, SK_Q = ostrelline.key_gen()
ROWS = [["DE89", "3704"], ["FR76", "3000"], ["GB29"]]
STORE_S = ostrelline.build_okvs(PK_S, ROWS)
STORE_R = ostrelline.build_okvs(PK_R, ROWS[1:])
QUERIES = ostrelline.initiate_queries(ROWS, ROWS[::-1], STORE_S, STORE_R, PK_Q)
COMBINED = ostrelline.combine(ostrelline.randomize(QUERIES), QUERIES)
IDENTITY = ed.IDENTITY_BYTES
NOT_A_POINT = bytes([2]) + bytes(31)
ORDER_TWO = bytes([0xEC]) + bytes([0xFF]) * 30 + bytes([0x7F])
GENUINE = [PK_S, SK_S, PK_Q, SK_Q, STORE_S, STORE_R, QUERIES, *COMBINED, IDENTITY, NOT_A_POINT, ORDER_TWO,
           bytes(2072), bytes(2071), bytes(2072 + 64 + 7), b"\xff" * 32]
# Huge inputs whose first entry fails at once: the call must allocate its
# result (or parse its input) and release it again.
HUGE = [NOT_A_POINT * (1 << 17), bytes([2]) * (4 << 20)]


@st.composite
def mutated(draw):
    data = bytearray(draw(st.sampled_from(GENUINE)))
    for _ in range(draw(st.integers(0, 3))):
        if not data:
            break
        i = draw(st.integers(0, len(data) - 1))
        data[i] ^= 1 << draw(st.integers(0, 7))
    cut = draw(st.one_of(st.none(), st.integers(0, len(data))))
    if cut is not None:
        data = data[:cut]
    return bytes(data)


byte_strings = st.one_of(
    st.binary(max_size=300),
    mutated(),
    st.sampled_from(GENUINE),
    st.sampled_from(HUGE),
    st.builds(BytesSub, st.sampled_from(GENUINE)),
    st.integers(0, 12).map(lambda k: IDENTITY * k),
)

surrogates = st.sampled_from(["\ud800", "\udfff", "a\udc80b", "\ud83d"])
column = st.one_of(
    st.text(max_size=12),
    surrogates,
    st.builds(StrSub, st.text(max_size=6)),
    st.sampled_from(["DE89", "3704", "FR76", "3000", "GB29", "", "é", "\U0001f600", "\x00"]),
)


def sequence_of(elements, max_size):
    return st.builds(lambda kind, items: kind(items), st.sampled_from(HOSTILE_SEQUENCES),
                     st.lists(elements, max_size=max_size))


rows = st.one_of(
    st.lists(st.lists(column, max_size=4), max_size=6, unique_by="".join),
    sequence_of(sequence_of(column, 4), 5),
    st.lists(st.one_of(st.lists(column, max_size=3), st.sampled_from(HOSTILE_OBJECTS),
                       st.tuples(st.tuples(column))), max_size=4),
    st.just([["a"]] * 3),  # duplicate rows
    st.sampled_from(HOSTILE_OBJECTS),
)

anything = st.one_of(byte_strings, rows, st.sampled_from(HOSTILE_OBJECTS), st.integers(), st.text(max_size=5))


# --- the checks --------------------------------------------------------------

ALLOWED = (TypeError, UnicodeEncodeError, HostileError, PanicException, MemoryError)


def note_outcome(text):
    """Counts outcomes for --hypothesis-show-statistics."""
    if currently_in_test_context():
        event(text)


def check_outcome(name, call):
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001 - every outcome is inspected
        note_outcome(f"{name}: {type(error).__name__}")
        assert isinstance(error, ALLOWED), f"{name}: {type(error).__name__}: {error}"
        assert not isinstance(error, SystemError), f"{name}: {error}"
        if not isinstance(error, MemoryError):
            assert str(error), f"{name}: {type(error).__name__} with an empty message"
        if isinstance(error, PanicException):
            assert len(error.args) == 1 and isinstance(error.args[0], str) and error.args[0]
        return None
    note_outcome(f"{name}: result")
    check_result(name, result)
    return result


def check_result(name, result):
    if name == "key_gen":
        assert type(result) is tuple and len(result) == 2
        assert all(type(part) is bytes and len(part) == 32 for part in result)
    elif name == "combine":
        assert type(result) is tuple and len(result) == 4
        assert all(type(part) is bytes for part in result)
        assert len({len(part) for part in result}) == 1
    elif name == "finish":
        assert type(result) is list and all(value is True or value is False for value in result)
    else:
        assert type(result) is bytes


# Values that fit each parameter, so that many calls get past every check.
_genuine_rows = st.lists(st.sampled_from(ROWS + [["XX00"], ["GB29"]]), max_size=4)
FITTING = {
    "public_key": st.sampled_from([PK_S, PK_R]),
    "swift_pk": st.just(PK_Q),
    "strings_in_each_row": st.lists(st.lists(column, max_size=3), max_size=5, unique_by="".join),
    "sender_data": _genuine_rows,
    "receiver_data": _genuine_rows,
    "sender_okvs": st.sampled_from([STORE_S, STORE_R]),
    "receiver_okvs": st.sampled_from([STORE_S, STORE_R]),
    "ciphertexts": st.sampled_from([QUERIES, QUERIES[:128], b""]),
    "sender_ciphertexts": st.sampled_from([QUERIES, QUERIES[128:]]),
    "receiver_ciphertexts": st.sampled_from([QUERIES, QUERIES[:256]]),
    "points": st.sampled_from(COMBINED),
    "bank_secret_key": st.sampled_from([SK_S, SK_R]),
    "sender_points": st.sampled_from(COMBINED),
    "receiver_points": st.sampled_from(COMBINED),
    "gamma_points": st.sampled_from(COMBINED),
    "delta_points": st.sampled_from(COMBINED),
    "swift_secret_key": st.just(SK_Q),
}


@st.composite
def calls(draw, name):
    params = PARAMS[name]
    values = {}
    for param in params:
        plausible = rows if param in ROW_PARAMS else byte_strings
        values[param] = draw(st.one_of(FITTING[param], FITTING[param], plausible, anything))
    style = draw(st.sampled_from(["positional"] * 3 + ["keywords"] * 2 + ["mixed", "extra", "missing", "unknown"]))
    args, kwargs = [], {}
    if style == "positional":
        args = [values[p] for p in params]
    elif style == "keywords":
        order = draw(st.permutations(params))
        kwargs = {p: values[p] for p in order}
    elif style == "mixed":
        split = draw(st.integers(0, len(params)))
        args = [values[p] for p in params[:split]]
        kwargs = {p: values[p] for p in params[split:]}
    elif style == "extra":
        args = [values[p] for p in params] + [draw(anything)]
    elif style == "missing" and params:
        drop = draw(st.sampled_from(params))
        kwargs = {p: values[p] for p in params if p != drop}
    else:
        args = [values[p] for p in params]
        kwargs = {draw(st.sampled_from(["x", "ciphertext", "points ", "PUBLIC_KEY", "\udcff"])): b""}
    return args, kwargs


@pytest.mark.parametrize("name", list(PARAMS))
@SETTINGS
@given(data=st.data())
def test_arbitrary_arguments_give_only_allowed_outcomes(name, data):
    args, kwargs = data.draw(calls(name))
    function = getattr(ostrelline, name)
    check_outcome(name, lambda: function(*args, **kwargs))


# --- arbitrary bytes in the right positions, with results checked ------------


@SETTINGS
@given(points=st.one_of(st.binary(max_size=200), mutated()), key=st.one_of(st.binary(min_size=32, max_size=32),
                                                                          st.binary(max_size=40)))
def test_decrypt_of_arbitrary_bytes_matches_the_reference(points, key):
    result = check_outcome("decrypt", lambda: ostrelline.decrypt(points, key))
    decoded = [ed.decompress(points[i:i + 32]) if len(points[i:i + 32]) == 32 else None
               for i in range(0, len(points), 32)]
    should_work = len(key) == 32 and all(p is not None for p in decoded)
    assert (result is not None) == should_work
    if result is not None:
        expected = b"".join(ed.compress(ed.bank_answer(key, p)) for p in decoded)
        assert result == expected


@SETTINGS
@given(streams=st.lists(st.one_of(st.binary(max_size=260), mutated()), min_size=2, max_size=2))
def test_combine_of_arbitrary_bytes_is_symmetric_and_canonical(streams):
    a, b = streams
    first = check_outcome("combine", lambda: ostrelline.combine(a, b))
    second = check_outcome("combine", lambda: ostrelline.combine(b, a))
    assert (first is None) == (second is None)
    if first is not None:
        assert first == second
        for stream in first:
            for i in range(0, len(stream), 32):
                point = ed.decompress(stream[i:i + 32])
                assert point is not None and ed.compress(point) == stream[i:i + 32]


@SETTINGS
@given(store=st.one_of(st.binary(min_size=2072, max_size=2072 + 64 * 4 + 63), mutated()),
       query_rows=st.lists(st.lists(st.text(max_size=5), max_size=2), max_size=3))
def test_any_store_of_full_length_answers_every_query(store, query_rows):
    result = check_outcome("initiate_queries",
                           lambda: ostrelline.initiate_queries(query_rows, query_rows, store, store, PK_Q))
    if len(store) >= 2072 + 64:
        assert result is not None and len(result) == 128 * len(query_rows)
        for i in range(0, len(result), 32):
            point = ed.decompress(result[i:i + 32])
            assert point is not None and ed.compress(point) == result[i:i + 32]
    elif len(store) < 2072 or query_rows:
        assert result is None


# --- specific hostile objects, each once -------------------------------------


@pytest.mark.parametrize("kind", HOSTILE_SEQUENCES)
def test_hostile_row_lists(kind):
    def build():
        return ostrelline.build_okvs(PK_S, kind([["DE89", "3704"], kind(["XX"])]))

    check_outcome("build_okvs", build)
    if kind in (RaisingIter, FailingHalfway):
        with pytest.raises(HostileError):
            build()
    elif kind is NonIterator:
        with pytest.raises(TypeError, match="^argument 'strings_in_each_row': iter\\(\\) returned non-iterator"):
            build()
    else:
        # A lying or failing __len__ only sizes a reservation: the rows are still read.
        assert len(build()) == 2072 + 64 * 5


def test_lying_lengths_still_give_the_right_rows():
    """A sequence claiming sys.maxsize items, as the row list and as a row,
    gives the same queries as the plain lists."""
    store = ostrelline.build_okvs(PK_S, LyingLength([LyingLength(["DE89", "3704"])]))
    plain = ostrelline.initiate_queries([["DE893704"]], [["DE893704"]], store, store, PK_Q)
    s, r, g, d = ostrelline.combine(plain, plain)
    # Both lookups hit the stored row, so delta = x_s (sender + receiver) + x_q gamma.
    decrypted = ostrelline.decrypt(s, SK_S), ostrelline.decrypt(r, SK_S)
    assert ostrelline.finish(*decrypted, g, d, SK_Q) == [True]


def test_unpaired_surrogates_raise_unicode_encode_error():
    for text in ["\ud800", "ok\udfff", "\udc80"]:
        for call in (lambda: ostrelline.build_okvs(PK_S, [[text]]),
                     lambda: ostrelline.initiate_queries([["a"], [text]], [], STORE_S, STORE_R, PK_Q),
                     lambda: ostrelline.initiate_queries([], [[text]], STORE_S, STORE_R, PK_Q)):
            with pytest.raises(UnicodeEncodeError):
                call()


def test_repr_that_misbehaves_still_gives_a_panic_with_a_message():
    for refused in (RaisingRepr(), SurrogateRepr(), NotStrRepr(), HugeRepr()):
        with pytest.raises(BaseException) as info:
            ostrelline.randomize(refused)
        assert type(info.value) is PanicException
        message = info.value.args[0]
        assert message.startswith("The ciphertexts object should be of type `bytes`.: PyDowncastError { from: ")
        assert message.endswith(', to: "PyBytes" }')


def test_reentrant_call_from_repr():
    """A refused object whose repr calls the module again: both calls work."""
    inner = []

    class Reentrant:
        def __repr__(self):
            inner.append(ostrelline.decrypt(IDENTITY, SK_S))
            return "reentrant"

    with pytest.raises(BaseException) as info:
        ostrelline.decrypt(Reentrant(), SK_S)
    assert type(info.value) is PanicException and "from: reentrant," in info.value.args[0]
    assert inner == [IDENTITY]


def test_huge_inputs_fail_fast_and_release_everything():
    for data in HUGE:
        for call in (lambda: ostrelline.randomize(data), lambda: ostrelline.decrypt(data, SK_S),
                     lambda: ostrelline.combine(data, data), lambda: ostrelline.finish(data, data, data, data, SK_Q)):
            before = sys.getrefcount(data)
            with pytest.raises(BaseException) as info:
                call()
            assert type(info.value) is PanicException
            del info
            assert sys.getrefcount(data) == before
