#!/bin/bash
# Start-up with every provider against the shell's providers only (see bench/README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
exec tools/with-display build/bin/python bench/startup_full.py "$@"
