#!/bin/bash
# Startup benchmark: time to the first window, program against plain Python (see bench/README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
exec tools/with-display build/bin/python bench/startup.py "$@"
