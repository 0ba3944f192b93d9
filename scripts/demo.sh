#!/usr/bin/env bash
# Sets everything up, then runs the protocol end to end with three parties on
# generated sample data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec "${PYTHON:-python3}" examples/demo.py "$@"
