"""Writes sample tables for the three parties: the sending bank's accounts as
CSV, the receiving bank's as Parquet, the payment network's payments as
Parquet, and, apart, the truth of each payment (both accounts held or not)."""
import argparse
import csv
import os
import random

import pyarrow as pa
import pyarrow.parquet as pq


def account(rng, country):
    # An identifier written with spaces, as people type them, and a branch code with leading zeros.
    digits = f"{rng.randrange(10**12):012d}"
    return f"{country}{rng.randrange(10, 99)} {digits[:4]} {digits[4:8]} {digits[8:]}", f"{rng.randrange(1000):04d}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True, help="folder to write into")
    parser.add_argument("--accounts", type=int, default=3000, help="accounts per bank")
    parser.add_argument("--payments", type=int, default=4000, help="payments held by the payment network")
    parser.add_argument("--match-share", type=float, default=0.6, help="share of payments whose two rows are held")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    senders = sorted({account(rng, "DE") for _ in range(args.accounts)})
    receivers = sorted({account(rng, "FR") for _ in range(args.accounts)})
    # Held as the banks store them: identifiers without white space, upper case.
    held_s, held_r = {_key(a) for a in senders}, {_key(a) for a in receivers}
    payments, truth = [], []
    for i in range(args.payments):
        if rng.random() < args.match_share:
            s, r = rng.choice(senders), rng.choice(receivers)
        else:
            s = rng.choice(senders) if rng.random() < 0.5 else account(rng, "DE")
            r = rng.choice(receivers) if rng.random() < 0.5 else account(rng, "FR")
        # The payment network writes identifiers without spaces, in lower case at times.
        s = (s[0].replace(" ", "").lower() if rng.random() < 0.3 else s[0].replace(" ", ""), s[1])
        payments.append((f"PAY{i:07d}", *s, *r, round(rng.uniform(1, 5000), 2)))
        truth.append((f"PAY{i:07d}", _key(s) in held_s and _key(r) in held_r))
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "accounts_sender.csv"), "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["iban", "branch", "holder"])
        writer.writerows((iban, branch, f"holder {k}") for k, (iban, branch) in enumerate(senders))
    columns = list(zip(*receivers))
    pq.write_table(pa.table({"iban": list(columns[0]), "branch": list(columns[1])}),
                   os.path.join(args.out, "accounts_receiver.parquet"))
    names = ["id", "sender_iban", "sender_branch", "receiver_iban", "receiver_branch", "amount"]
    pq.write_table(pa.table({n: [p[k] for p in payments] for k, n in enumerate(names)}),
                   os.path.join(args.out, "payments.parquet"))
    with open(os.path.join(args.out, "truth.csv"), "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["id", "held"])
        writer.writerows((i, "true" if held else "false") for i, held in truth)
    print(f"sending bank: {len(senders)} accounts (CSV); receiving bank: {len(receivers)} accounts (Parquet); "
          f"payment network: {len(payments)} payments (Parquet), {sum(h for _, h in truth)} with both accounts held")


def _key(row):
    return row[0].replace(" ", "").upper(), row[1]


if __name__ == "__main__":
    main()
