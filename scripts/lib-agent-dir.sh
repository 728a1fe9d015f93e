# shellcheck shell=bash
# Sourced by demo.sh and bench.sh, from the top of the source tree once the
# build is done: starts the test cloud and makes an agent directory whose
# configuration points every service at it.

# clean_up_at_exit DIR: at exit, stops the cloud that start_cloud started
# and removes DIR.
cloud_pid=
clean_up_at_exit() {
  work_to_remove=$1
  trap '[[ -n "$cloud_pid" ]] && kill "$cloud_pid" 2>/dev/null && wait "$cloud_pid" 2>/dev/null; rm -rf "$work_to_remove"' EXIT
}

# start_cloud DIR: runs the test cloud with DIR as its directory, sets
# cloud_pid and the CLOUD_* variables of its cloud.env.
start_cloud() {
  local dir=$1
  # The test cloud prints its settings as shell assignments, then "ready".
  mkdir "$dir"
  build/tests/test-cloud --dir "$dir" > "$dir/out" 2> "$dir/err" &
  # shellcheck disable=SC2034 # the exit trap stops it
  cloud_pid=$!
  for _ in $(seq 1 100); do
    grep -q '^ready$' "$dir/out" 2>/dev/null && break
    sleep 0.05
  done
  grep -q '^ready$' "$dir/out" || { cat "$dir/err" >&2; echo "test cloud did not start" >&2; exit 1; }
  # shellcheck disable=SC1091
  source "$dir/cloud.env"
}

# make_agent_dir DIR: the tool, links to the libraries and a configuration
# for every service: HTTPS with the cloud's CA, the updater over plain HTTP.
make_agent_dir() {
  local agent=$1 top lib
  top=$(pwd)
  mkdir "$agent"
  cp build/bin/pathvane "$agent/"
  for lib in build/bin/lib*.so; do ln -s "$top/$lib" "$agent/"; done
  write_agent_config "$agent"
}

# write_agent_config DIR: DIR/agent-config.json pointing every service at
# the cloud that start_cloud started; the cloud's CA is both the trusted set
# and the EST CA, as an enrolled agent has one.
write_agent_config() {
  local agent=$1 ca_json
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
  "config/agent/cloud/trustedcerts/cert": ["$ca_json"],
  "config/agent/cloud/est/cert": "$ca_json"
}
JSON
}
