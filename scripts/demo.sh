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
# shellcheck source=scripts/lib-agent-dir.sh
source scripts/lib-agent-dir.sh
clean_up_at_exit "$work"
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
# The agent directory goes at exit; its trace log is kept in the build tree.
if [[ -f "$agent/log/pathvane.log" ]]; then
  cp "$agent/log/pathvane.log" build/demo-pathvane.log
  echo "== trace log kept as build/demo-pathvane.log"
fi
