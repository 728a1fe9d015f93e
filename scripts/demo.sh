#!/usr/bin/env bash
# Builds the tool, starts the local test cloud, makes a demo agent directory
# whose configuration points at it, and runs pathvane there.
# Arguments are passed to pathvane (none: every check but URL reputation).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja > /dev/null
cmake --build build

work=$(mktemp -d /tmp/pathvane-demo-XXXXXX)
cloud_pid=
cleanup() {
  [[ -n "$cloud_pid" ]] && kill "$cloud_pid" 2>/dev/null && wait "$cloud_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=scripts/lib-agent-dir.sh
source scripts/lib-agent-dir.sh
start_cloud "$work/cloud"
agent="$work/agent"
make_agent_dir "$agent"

echo "== agent directory: $agent"
echo "== running: pathvane $*"
set +e
"$agent/pathvane" "$@"
code=$?
set -e
echo "== pathvane exited with $code"
