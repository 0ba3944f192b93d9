#!/usr/bin/env bash
# Installs what building the module and the demo need (no test tools), builds
# and installs it, then runs the three parties of the protocol through the
# `ostrelline` command on generated CSV and Parquet tables in a temporary
# folder (examples/parties.sh): what each party sends and learns, and a few
# files the tools refuse. Options: --accounts, --payments, --match-share, --seed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
exec bash examples/parties.sh "$@"
