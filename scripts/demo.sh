#!/usr/bin/env bash
# Installs what is missing, builds the agent and runs it on the sample
# configuration in examples/. Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLSTEAD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target quillstead
demo=$(mktemp -d /tmp/quillstead-demo-XXXXXX)
sed "s#@DEMO@#$demo#g" examples/demo.conf > "$demo/quillstead.conf"
echo "demo directory: $demo (configuration: $demo/quillstead.conf)" >&2
exec build/src/quillstead -c "$demo/quillstead.conf"
