"""A short protocol run with failing calls of every kind, for a leak checker
(scripts/valgrind.sh runs it under valgrind's memcheck). Exits non-zero when
a result is wrong, so a run that leaks nothing must also have computed."""
import sys

import ostrelline

PanicException = None


def expect_failure(call, kinds):
    global PanicException
    try:
        call()
    except BaseException as error:  # noqa: BLE001
        if type(error).__name__ == "PanicException":
            PanicException = type(error)
            return
        if not isinstance(error, kinds):
            raise
        return
    raise AssertionError("the call did not fail")


def main():
    pk_s, sk_s = ostrelline.key_gen()
    pk_r, sk_r = ostrelline.key_gen()
    pk_q, sk_q = ostrelline.key_gen()
    sender_rows = [["DE89", "3704"], ["FR76", "3000"], ["IT60", "X054"]]
    receiver_rows = [["GB29", "NWBK"], ["NL91", "ABNA"]]
    store_s = ostrelline.build_okvs(pk_s, sender_rows)
    store_r = ostrelline.build_okvs(pk_r, receiver_rows)
    payments_s = [sender_rows[0], ["XX00"], sender_rows[2]]
    payments_r = [receiver_rows[1], receiver_rows[0], ["YY11"]]
    queries = ostrelline.initiate_queries(payments_s, payments_r, store_s, store_r, pk_q)
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    result = ostrelline.finish(ostrelline.decrypt(s, sk_s), ostrelline.decrypt(r, sk_r), g, d, sk_q)
    if result != [True, False, False]:
        print("wrong match bits:", result, file=sys.stderr)
        return 1

    point = bytes([1]) + bytes(31)
    not_a_point = bytes([2]) + bytes(31)
    failing = [
        lambda: ostrelline.key_gen(1),
        lambda: ostrelline.build_okvs(pk_s, "rows"),
        lambda: ostrelline.build_okvs(pk_s, [["\ud800"]]),
        lambda: ostrelline.build_okvs(pk_s, [[1]]),
        lambda: ostrelline.build_okvs(point, [["a"]]),
        lambda: ostrelline.build_okvs(not_a_point, [["a"]]),
        lambda: ostrelline.build_okvs(pk_s, [["ab"], ["a", "b"]]),
        lambda: ostrelline.initiate_queries([["a"]], [["b"]], bytes(2071), store_r, pk_q),
        lambda: ostrelline.initiate_queries([["a"]], [["b"]], bytes(2072), store_r, pk_q),
        lambda: ostrelline.initiate_queries([["a"]], [["b"]], store_s, store_r, 7),
        lambda: ostrelline.randomize(queries + b"x"),
        lambda: ostrelline.randomize(queries[:64] + not_a_point + queries[96:128]),
        lambda: ostrelline.combine(queries, bytearray(queries)),
        lambda: ostrelline.decrypt(s + b"x", sk_s),
        lambda: ostrelline.decrypt(s, sk_s[:31]),
        lambda: ostrelline.finish(s, r, g, not_a_point, sk_q),
    ]
    for call in failing:
        expect_failure(call, (TypeError, UnicodeEncodeError))
    return 0


if __name__ == "__main__":
    sys.exit(main())
