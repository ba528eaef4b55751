#!/bin/sh
# Installs the dependencies, builds, and runs the agent in the foreground.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
exec build/bin/KVLQuillmark 0
