#!/usr/bin/env bash
# Installs what is missing, builds, and starts the viewer from its program folder.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
exec build/bin/Kelvar500
