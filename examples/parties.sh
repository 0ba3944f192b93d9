#!/usr/bin/env bash
# The three parties of the matching protocol, each in a folder of its own in a
# temporary folder, running the `ostrelline` command on generated tables: the
# sending bank's accounts in CSV, the receiving bank's and the payments in
# Parquet. Shows every command, what each party sends to whom and what the
# payment network learns, then a few files the tools refuse. Options are
# those of examples/make_tables.py (--accounts, --payments, --match-share,
# --seed). Needs the module and pyarrow installed (scripts/setup.sh).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
PYTHON="${PYTHON:-python3}"
work="$(mktemp -d "${TMPDIR:-/tmp}/ostrelline-demo.XXXXXX")"
trap 'rm -rf "$work"' EXIT
sender="$work/sending-bank" receiver="$work/receiving-bank" network="$work/payment-network"
mkdir -p "$sender" "$receiver" "$network" "$work/truth"

# Runs the command in a party's folder and shows it as that party typed it.
party() {
    local name="$1" folder="$2"
    shift 2
    echo "[$name] \$ ostrelline $*"
    (cd "$folder" && "$PYTHON" -m ostrelline_tools "$@") | sed 's/^/    /'
}
send() {
    echo "    -> $(basename "$3") receives $2 ($(stat -c %s "$1/$2") bytes)"
    cp "$1/$2" "$3/$2"
}
refused() {
    local folder="$1"
    shift
    echo "  \$ ostrelline $*"
    if (cd "$folder" && "$PYTHON" -m ostrelline_tools "$@" >/dev/null 2>"$work/error"); then
        echo "  accepted: that should not have happened" >&2
        exit 1
    fi
    sed 's/^/    /' "$work/error"
}

echo "== Sample data in $work"
"$PYTHON" "$here/make_tables.py" --out "$work/truth" "$@"
mv "$work/truth/accounts_sender.csv" "$sender/accounts.csv"
mv "$work/truth/accounts_receiver.parquet" "$receiver/accounts.parquet"
mv "$work/truth/payments.parquet" "$network/payments.parquet"

echo
echo "== Keys: each party makes its pair and hands out the public key"
party "sending bank" "$sender" keygen --role sender --public-key sender.pub --secret-key sender.sec
party "receiving bank" "$receiver" keygen --role receiver --public-key receiver.pub --secret-key receiver.sec
party "payment network" "$network" keygen --role network --public-key network.pub --secret-key network.sec
send "$sender" sender.pub "$network"
send "$receiver" receiver.pub "$network"

echo
echo "== Each bank builds its store (membership-hiding; identifiers without white space, upper case)"
party "sending bank" "$sender" build-store --public-key sender.pub --table accounts.csv --columns iban,branch \
    --normalise identifier --out sender.store
party "receiving bank" "$receiver" build-store --public-key receiver.pub --table accounts.parquet --columns iban,branch \
    --normalise identifier --out receiver.store
send "$sender" sender.store "$network"
send "$receiver" receiver.store "$network"

echo
echo "== The payment network queries both stores, blinds two copies and combines them"
party "payment network" "$network" initiate --table payments.parquet \
    --sender-columns sender_iban,sender_branch --receiver-columns receiver_iban,receiver_branch \
    --sender-store sender.store --receiver-store receiver.store --sender-key sender.pub --receiver-key receiver.pub \
    --public-key network.pub --normalise identifier --out queries.ost
party "payment network" "$network" randomize --queries queries.ost --out copy1.ost
party "payment network" "$network" randomize --queries queries.ost --out copy2.ost
party "payment network" "$network" combine --copies copy1.ost copy2.ost --sender-out for-sender.ost \
    --receiver-out for-receiver.ost --gamma-out gamma.ost --delta-out delta.ost
send "$network" for-sender.ost "$sender"
send "$network" for-receiver.ost "$receiver"
echo "  What the sending bank receives says no more than this:"
party "sending bank" "$sender" inspect for-sender.ost

echo
echo "== Each bank decrypts its stream partially and sends it back"
party "sending bank" "$sender" decrypt --points for-sender.ost --secret-key sender.sec --out from-sender.ost
party "receiving bank" "$receiver" decrypt --points for-receiver.ost --secret-key receiver.sec --out from-receiver.ost
send "$sender" from-sender.ost "$network"
send "$receiver" from-receiver.ost "$network"

echo
echo "== The payment network learns one bit per payment"
party "payment network" "$network" finish --sender-points from-sender.ost --receiver-points from-receiver.ost \
    --gamma-points gamma.ost --delta-points delta.ost --secret-key network.sec --table payments.parquet --out results.parquet
echo "  results.parquet is the payments table with a match column; its header sits in the Parquet metadata:"
party "payment network" "$network" inspect results.parquet
"$PYTHON" - "$network/results.parquet" "$work/truth/truth.csv" <<'PY'
import csv
import sys

import pyarrow.parquet as pq

results = pq.read_table(sys.argv[1]).select(["id", "match"]).to_pylist()
with open(sys.argv[2], newline="") as file:
    truth = {row["id"]: row["held"] == "true" for row in csv.DictReader(file)}
for row in results[:5]:
    print(f"    {row['id']}: {'both accounts held' if row['match'] else 'not both held'}")
agree = sum(truth[row["id"]] == row["match"] for row in results)
print(f"  agreement with the generated truth: {agree}/{len(truth)}" + (" (all correct)" if agree == len(truth) else ""))
sys.exit(0 if agree == len(truth) == len(results) else 1)
PY

echo
echo "== Files the tools refuse (each names the file and the problem; nothing is written)"
cp "$sender/sender.store" "$network/cut.store"
truncate -s -64 "$network/cut.store"
cp "$receiver/receiver.sec" "$sender/receiver.sec"
echo " the two stores swapped:"
refused "$network" initiate --table payments.parquet --sender-columns sender_iban,sender_branch \
    --receiver-columns receiver_iban,receiver_branch --sender-store receiver.store --receiver-store sender.store \
    --public-key network.pub --normalise identifier --out refused.ost
echo " a store cut short by 64 bytes:"
refused "$network" initiate --table payments.parquet --sender-columns sender_iban,sender_branch \
    --receiver-columns receiver_iban,receiver_branch --sender-store cut.store --receiver-store receiver.store \
    --public-key network.pub --normalise identifier --out refused.ost
echo " queries encoded otherwise than the stores (no normalisation):"
refused "$network" initiate --table payments.parquet --sender-columns sender_iban,sender_branch \
    --receiver-columns receiver_iban,receiver_branch --sender-store sender.store --receiver-store receiver.store \
    --public-key network.pub --out refused.ost
echo " the other bank's secret key in decrypt:"
refused "$sender" decrypt --points for-sender.ost --secret-key receiver.sec --out refused.ost
echo " the same randomized copy twice in combine:"
refused "$network" combine --copies copy1.ost copy1.ost --sender-out a.ost --receiver-out b.ost --gamma-out c.ost \
    --delta-out d.ost
for folder in "$sender" "$network"; do
    if ls "$folder" | grep -q -E '^(refused|[abcd])\.ost$|\.part$'; then
        echo "a refused step left a file behind" >&2
        exit 1
    fi
done
echo "  no refused step wrote anything"
