import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import ostrelline  # noqa: E402


def _panic_type():
    try:
        ostrelline.randomize(1)
    except BaseException as error:  # noqa: BLE001 - we want the class itself
        return type(error)
    raise AssertionError("randomize(1) did not fail")


PanicException = _panic_type()


@pytest.fixture(scope="session")
def panic():
    return PanicException


@pytest.fixture(scope="session")
def parties():
    """Key pairs of the sending bank, the receiving bank and the payment network."""
    return {name: ostrelline.key_gen() for name in ("sender", "receiver", "swift")}


def raises_panic(message_fragment=None, *, exact=None):
    """Context manager asserting that a PanicException is raised with a message."""
    return _RaisesPanic(message_fragment, exact)


class _RaisesPanic:
    def __init__(self, fragment, exact):
        self.fragment = fragment
        self.exact = exact
        self.message = None

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        assert kind is not None, "no exception was raised"
        assert kind is PanicException, f"expected PanicException, got {kind.__name__}: {value}"
        self.message = value.args[0]
        if self.exact is not None:
            assert self.message == self.exact
        if self.fragment is not None:
            assert self.fragment in self.message, self.message
        return True
