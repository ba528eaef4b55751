#!/bin/sh
# Installs the dependencies, builds, and runs the agent in the foreground.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
# A software token with a demo certificate, made once, so there is something to sign with.
scripts/make-demo-token.sh || echo "run.sh: no demo token; real tokens still work" >&2
demo_conf=${XDG_DATA_HOME:-$HOME/.local/share}/quillmark/softhsm/softhsm2.conf
[ -n "${SOFTHSM2_CONF:-}" ] || [ ! -f "$demo_conf" ] || export SOFTHSM2_CONF="$demo_conf"
exec build/bin/KVLQuillmark 0
