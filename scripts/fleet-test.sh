#!/usr/bin/env bash
# The fleet playbook on a local inventory of two agents, each with its own
# agent directory pointing at the test cloud, the second with a registration
# service that refuses: checks the folders collected per host and the table
# (the failing host first). Needs the test build (scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh ansible-core
work=$(mktemp -d /tmp/pathvane-fleet-XXXXXX)
# shellcheck source=scripts/lib-agent-dir.sh
source scripts/lib-agent-dir.sh
clean_up_at_exit "$work"
start_cloud "$work/cloud"
make_agent_dir "$work/agent-a"
make_agent_dir "$work/agent-b"
refused_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 - "$work/agent-b/agent-config.json" "$refused_port" <<'PY'
import json, sys
path, port = sys.argv[1], sys.argv[2]
config = json.load(open(path))
config["config/velta/endpoint/mgmt"] = f"https://127.0.0.1:{port}/agent/v1/"
json.dump(config, open(path, "w"), indent=1)
PY

cat > "$work/inventory.yml" <<YAML
all:
  vars:
    ansible_connection: local
    ansible_python_interpreter: "{{ ansible_playbook_python }}"
    pathvane_args: ["/P-"]
    pathvane_collect_dir: "$work/collected"
  hosts:
    agent-a:
      pathvane_agent_dir: "$work/agent-a"
    agent-b:
      pathvane_agent_dir: "$work/agent-b"
YAML

ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCALHOST_WARNING=0 \
  ansible-playbook -i "$work/inventory.yml" fleet/pathvane.yml | tee "$work/play.out"

fail() { echo "fleet test: $*" >&2; exit 1; }
for host in agent-a agent-b; do
  for file in pathvane-results.json pathvane.log; do
    [[ -s "$work/collected/$host/$file" ]] || fail "no $file collected for $host"
  done
done
table="$work/collected/table.txt"
cat "$table"
mapfile -t rows < "$table"
[[ ${rows[0]} == host* ]] || fail "the table has no header"
[[ ${rows[0]} == *"| Velta Registration |"* ]] || fail "the header has no registration column"
[[ ${rows[1]} == agent-b* ]] || fail "the failing host is not first"
[[ ${rows[1]} == *"error (failed)"* ]] || fail "agent-b shows no failed check"
[[ ${rows[2]} == agent-a* ]] || fail "agent-a is not second"
[[ ${rows[2]} != *error* ]] || fail "agent-a shows an error"
grep -q "agent-b" "$work/play.out" || fail "the playbook did not print the table"
echo "fleet test passed: both hosts collected, failures first"
