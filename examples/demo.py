"""End-to-end run of the matching protocol with three parties on generated data.

Two banks each hold a few thousand account rows; the payment network holds
payments naming a sender and a receiver account. At the end the payment
network learns, for each payment, whether both accounts are held by their
banks, and the demo checks that against the truth it generated.
"""
import argparse
import random
import sys
import time

import ostrelline


def progress(label, done, total, started):
    """A progress bar redrawn in place on a terminal, a line per step otherwise."""
    width = 30
    filled = width * done // max(total, 1)
    rate = done / max(time.monotonic() - started, 1e-9)
    line = f"  {label:<28} [{'#' * filled}{'.' * (width - filled)}] {done}/{total} ({rate:,.0f}/s)"
    if sys.stdout.isatty():
        sys.stdout.write("\r" + line + ("\n" if done == total else ""))
    else:
        sys.stdout.write(line + "\n")
    sys.stdout.flush()


def chunked(label, total, chunk, step):
    """Runs step(start, stop) over [0, total) in chunks, showing progress; returns the results."""
    results, started = [], time.monotonic()
    progress(label, 0, total, started)
    for start in range(0, total, chunk):
        stop = min(total, start + chunk)
        results.append(step(start, stop))
        progress(label, stop, total, started)
    return results


def account(rng, bank_code):
    return [bank_code, f"{rng.randrange(10**9):09d}", rng.choice(["EUR", "USD", "GBP", "CHF"])]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--accounts", type=int, default=3000, help="accounts per bank")
    parser.add_argument("--payments", type=int, default=4000, help="payments held by the payment network")
    parser.add_argument("--match-share", type=float, default=0.6, help="share of payments whose two rows are held")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    chunk = 500

    print("== Sample data")
    sender_accounts = {tuple(account(rng, "BANK-S")) for _ in range(args.accounts)}
    receiver_accounts = {tuple(account(rng, "BANK-R")) for _ in range(args.accounts)}
    sender_list, receiver_list = sorted(sender_accounts), sorted(receiver_accounts)
    payments, truth = [], []
    for _ in range(args.payments):
        if rng.random() < args.match_share:
            s, r, held = list(rng.choice(sender_list)), list(rng.choice(receiver_list)), True
        else:
            # One or both rows unknown to their bank.
            s = list(rng.choice(sender_list)) if rng.random() < 0.5 else account(rng, "BANK-S")
            r = list(rng.choice(receiver_list)) if rng.random() < 0.5 else account(rng, "BANK-R")
            held = tuple(s) in sender_accounts and tuple(r) in receiver_accounts
        payments.append((s, r))
        truth.append(held)
    print(f"  sending bank: {len(sender_list)} accounts, receiving bank: {len(receiver_list)} accounts")
    print(f"  payment network: {len(payments)} payments, {sum(truth)} of them with both accounts held")

    print("== Keys")
    sender_pk, sender_sk = ostrelline.key_gen()
    receiver_pk, receiver_sk = ostrelline.key_gen()
    swift_pk, swift_sk = ostrelline.key_gen()
    print(f"  sending bank public key   {sender_pk.hex()}")
    print(f"  receiving bank public key {receiver_pk.hex()}")
    print(f"  payment network public key {swift_pk.hex()}")

    print("== Banks build their stores")
    started = time.monotonic()
    sender_store = ostrelline.build_okvs(sender_pk, [list(row) for row in sender_list])
    print(f"  sending bank   -> payment network: store of {len(sender_store):,} bytes "
          f"({time.monotonic() - started:.2f} s)")
    started = time.monotonic()
    receiver_store = ostrelline.build_okvs(receiver_pk, [list(row) for row in receiver_list])
    print(f"  receiving bank -> payment network: store of {len(receiver_store):,} bytes "
          f"({time.monotonic() - started:.2f} s)")

    print("== Payment network queries both stores")
    n = len(payments)
    queries = b"".join(chunked("initiate_queries", n, chunk, lambda a, b: ostrelline.initiate_queries(
        [p[0] for p in payments[a:b]], [p[1] for p in payments[a:b]], sender_store, receiver_store, swift_pk)))
    print(f"  {len(queries):,} bytes of wide ciphertexts ({len(queries) // 128} entries)")

    print("== Two independent re-randomizations, then combine")
    first = b"".join(chunked("randomize (copy 1)", n, chunk, lambda a, b: ostrelline.randomize(queries[128 * a:128 * b])))
    second = b"".join(chunked("randomize (copy 2)", n, chunk, lambda a, b: ostrelline.randomize(queries[128 * a:128 * b])))
    sender_points, receiver_points, gamma_points, delta_points = ostrelline.combine(first, second)
    print(f"  payment network -> sending bank:   {len(sender_points):,} bytes of points")
    print(f"  payment network -> receiving bank: {len(receiver_points):,} bytes of points")

    print("== Banks decrypt partially")
    sender_decrypted = b"".join(chunked("decrypt (sending bank)", n, chunk,
                                        lambda a, b: ostrelline.decrypt(sender_points[32 * a:32 * b], sender_sk)))
    receiver_decrypted = b"".join(chunked("decrypt (receiving bank)", n, chunk,
                                          lambda a, b: ostrelline.decrypt(receiver_points[32 * a:32 * b], receiver_sk)))
    print(f"  sending bank   -> payment network: {len(sender_decrypted):,} bytes")
    print(f"  receiving bank -> payment network: {len(receiver_decrypted):,} bytes")

    print("== Payment network finishes")
    matches = ostrelline.finish(sender_decrypted, receiver_decrypted, gamma_points, delta_points, swift_sk)
    agree = sum(1 for m, t in zip(matches, truth) if m == t)
    print(f"  {sum(matches)} of {len(matches)} payments have both accounts held")
    print(f"  agreement with the known truth: {agree}/{len(truth)}"
          + (" (all correct)" if agree == len(truth) else " (MISMATCH)"))
    return 0 if agree == len(truth) and len(matches) == len(truth) else 1


if __name__ == "__main__":
    sys.exit(main())
