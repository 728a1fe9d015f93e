#!/usr/bin/env bash
# Builds the tool, starts the local test cloud, makes a demo agent directory
# whose configuration points at it, and runs pathvane there.
# Arguments are passed to pathvane (none: every check but URL reputation).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

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

# The test cloud prints its settings as shell assignments, then "ready".
mkdir "$work/cloud"
build/tests/test-cloud --dir "$work/cloud" > "$work/cloud/out" 2> "$work/cloud/err" &
cloud_pid=$!
for _ in $(seq 1 100); do
  grep -q '^ready$' "$work/cloud/out" 2>/dev/null && break
  sleep 0.05
done
grep -q '^ready$' "$work/cloud/out" || { cat "$work/cloud/err" >&2; echo "test cloud did not start" >&2; exit 1; }
# shellcheck disable=SC1091
source "$work/cloud/cloud.env"

# The agent directory: the tool, links to the libraries, its configuration.
agent="$work/agent"
mkdir "$agent"
cp build/bin/pathvane "$agent/"
for lib in build/bin/lib*.so; do ln -s "$top/$lib" "$agent/"; done
ca_json=$(awk '{ printf "%s\\n", $0 }' "$CLOUD_CA_CERT")
cat > "$agent/agent-config.json" <<JSON
{
  "version": "8.4.2.31122",
  "config/agent/uuid": "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21",
  "config/agent/affiliate/uuid": "11111111-2222-4333-8444-555555555555",
  "config/velta/business/uuid": "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee",
  "config/velta/install/token": "demo-install-token",
  "config/velta/policy/serial_number": 7,
  "config/agent/directory/base": "$agent",
  "config/proxy/testurl": "$CLOUD_HTTPS_URL/health",
  "config/agent/urlscanner/urlreputationserver": "$CLOUD_HTTPS_URL/url-reputation",
  "config/velta/endpoint/mgmt": "$CLOUD_HTTPS_URL/agent/v1/",
  "config/velta/endpoint/event": "$CLOUD_HTTPS_URL/event/",
  "config/velta/endpoint/policy/affiliate": "$CLOUD_HTTPS_URL/policy/affiliate/[%set:config/agent/affiliate/uuid%]",
  "config/velta/endpoint/policy/company": "$CLOUD_HTTPS_URL/policy/company/[%set:config/velta/business/uuid%]",
  "config/velta/endpoint/policy/policy": "$CLOUD_HTTPS_URL/policy/policy/[%set:config/agent/uuid%]",
  "config/velta/endpoint/policy/agent": "$CLOUD_HTTPS_URL/policy/agent/[%set:config/agent/uuid%]",
  "config/agent/submission/retro/upload_server": "127.0.0.1:$CLOUD_HTTPS_PORT",
  "config/agent/submission/http_upload_server": "127.0.0.1:$CLOUD_HTTPS_PORT",
  "config/agent/submission/protocol": "https",
  "config/agent/submission/http_max_size": 10485760,
  "config/agent/crashdump/url": "$CLOUD_HTTPS_URL/crashdump",
  "config/updater/server": "127.0.0.1:$CLOUD_HTTP_PORT",
  "config/updater/path": "/updater/seed",
  "config/conn/varnholtssl/verifyhost": 1,
  "config/conn/varnholtssl/verifypeer": 1,
  "config/agent/cloud/trustedcerts/cert": ["$ca_json"]
}
JSON

echo "== agent directory: $agent"
echo "== running: pathvane $*"
set +e
"$agent/pathvane" "$@"
code=$?
set -e
echo "== pathvane exited with $code"
