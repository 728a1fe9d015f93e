#!/usr/bin/env bash
# The fleet playbook on a local inventory (local connection), one agent
# directory per host against the test cloud: a host for each way a host can
# lack a result of this run, two hosts sharing a cause, a hostile results
# file, a "../" host name, and both privilege cases (root becoming the
# agent's user; an unprivileged user with passwordless sudo and -b). Checks
# the table, the summary by cause, the collected modes and the exit code.
# Needs the build (scripts/test.sh) and root (it makes its users).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh ansible-core sudo acl
[[ $(id -u) -eq 0 ]] || { echo "fleet test: run as root (it makes users)" >&2; exit 1; }
work=$(mktemp -d /tmp/pathvane-fleet-XXXXXX)
chmod 755 "$work"
# shellcheck source=scripts/lib-agent-dir.sh
source scripts/lib-agent-dir.sh
clean_up_at_exit "$work"
start_cloud "$work/cloud"
fail() { echo "fleet test: $*" >&2; exit 1; }

agent_user=pvagent
sudo_user=pvfleet
for user in "$agent_user" "$sudo_user"; do
  id "$user" >/dev/null 2>&1 || useradd -m -s /bin/sh "$user"
done
echo "$sudo_user ALL=(ALL) NOPASSWD: ALL" > /etc/sudoers.d/pathvane-fleet-test
chmod 0440 /etc/sudoers.d/pathvane-fleet-test

refused_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
refuse_registration() {
  python3 - "$1/agent-config.json" "$refused_port" <<'PY'
import json, sys
path, port = sys.argv[1], sys.argv[2]
config = json.load(open(path))
config["config/velta/endpoint/mgmt"] = f"https://127.0.0.1:{port}/agent/v1/"
json.dump(config, open(path, "w"), indent=1)
PY
}
# A stand-in for the tool: runs the given shell text in the agent folder.
fake_tool() {
  mkdir -p "$1/log"
  # shellcheck disable=SC2016 # expanded by the stand-in, not here
  printf '#!/bin/sh\ncd "$(dirname "$0")"\n%s\n' "$2" > "$1/pathvane"
  chmod 755 "$1/pathvane"
}

make_agent_dir "$work/agent-a"
make_agent_dir "$work/agent-b"
refuse_registration "$work/agent-b"
make_agent_dir "$work/agent-c"
refuse_registration "$work/agent-c"
make_agent_dir "$work/escaped"
# The tool missing.
mkdir -p "$work/missing/log"
# Ended abnormally: the transfer library is missing, the tool aborts.
make_agent_dir "$work/aborts"
rm "$work/aborts/libxferlib.so"
# Usage shown: options the tool does not know.
make_agent_dir "$work/usage"
# Stopped at settings: a configuration without the services.
make_agent_dir "$work/settings"
echo '{"version": "8.4.2.31122"}' > "$work/settings/agent-config.json"
# No results file this run ("disk full"): the agent's user finds an earlier
# run's file in a log folder it can no longer write to.
make_agent_dir "$work/diskfull"
chown -R "$agent_user:" "$work/diskfull"
runuser -u "$agent_user" -- "$work/diskfull/pathvane" /P- >/dev/null 2>&1
chmod 500 "$work/diskfull/log"
# Only an earlier run's results: a tool that exits 0 and writes none.
mkdir -p "$work/stale/log"
cp "$work/diskfull/log/pathvane-results.json" "$work/stale/log/"
fake_tool "$work/stale" 'exit 0'
stale_started=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["started"])' "$work/stale/log/pathvane-results.json")
# A hostile results file: a check name that forges a row for agent-a,
# invented checks, a cause with a new line, another host's name.
fake_tool "$work/hostile" "$(cat <<'SH'
now=$(date -u +%Y-%m-%dT%H:%M:%S.%3NZ)
cat > log/pathvane-results.json <<JSON
{
  "format": 1,
  "started": "$now",
  "host": {"name": "agent-a"},
  "exit_code": 0,
  "errors": [],
  "checks": [
    {"name": "Health Test", "verdict": "pass", "counted": "success",
     "causes": [{"code": "tls.untrusted_ca", "key": "/CN=Evil\\n12 hosts: forged", "evidence": {}}]},
    {"name": "Velta Registration | pass\\nagent-a | error (failed) | x", "verdict": "pass", "counted": "success"},
    {"name": "Invented Check", "verdict": "pass | pass", "counted": "success"},
    {"name": "Event Intake", "verdict": "pass\\nagent-a | error", "counted": "success",
     "causes": [{"code": "bad code\\n1 host", "key": "x"}]}
  ]
}
JSON
chmod 600 log/pathvane-results.json
SH
)"
# A run that overlaps another: a run still going holds the usual log, so
# this one keeps its own log and results document beside it.
make_agent_dir "$work/overlap"
"$work/overlap/pathvane" /P- >/dev/null 2>&1
python3 -c 'import fcntl, sys, time; f = open(sys.argv[1]); fcntl.flock(f, fcntl.LOCK_EX); time.sleep(600)' \
  "$work/overlap/log/pathvane.log" &
holder=$!
# Root becoming the agent's unprivileged user: the agent directory is its.
make_agent_dir "$work/as-agent"
chmod 600 "$work/as-agent/agent-config.json"
mkdir -m 700 "$work/as-agent/log"
chown -R "$agent_user:" "$work/as-agent"

collect=$work/collected
cat > "$work/inventory.yml" <<YAML
all:
  vars:
    ansible_connection: local
    ansible_python_interpreter: "{{ ansible_playbook_python }}"
    pathvane_args: ["/P-"]
    pathvane_collect_dir: "$collect"
  hosts:
    agent-a: {pathvane_agent_dir: "$work/agent-a"}
    agent-b: {pathvane_agent_dir: "$work/agent-b"}
    agent-c: {pathvane_agent_dir: "$work/agent-c"}
    "../escaped": {pathvane_agent_dir: "$work/escaped"}
    unreachable:
      ansible_connection: ssh
      ansible_host: 127.0.0.1
      ansible_port: $refused_port
      ansible_ssh_common_args: "-o ConnectTimeout=5 -o BatchMode=yes"
    missing: {pathvane_agent_dir: "$work/missing"}
    aborts: {pathvane_agent_dir: "$work/aborts"}
    usage: {pathvane_agent_dir: "$work/usage", pathvane_args: ["/no-such-option"]}
    settings: {pathvane_agent_dir: "$work/settings"}
    diskfull: {pathvane_agent_dir: "$work/diskfull", pathvane_become_user: $agent_user}
    stale: {pathvane_agent_dir: "$work/stale"}
    hostile: {pathvane_agent_dir: "$work/hostile"}
    overlap: {pathvane_agent_dir: "$work/overlap"}
    as-agent: {pathvane_agent_dir: "$work/as-agent", pathvane_become_user: $agent_user}
YAML

export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_HOST_KEY_CHECKING=0
set +e
ansible-playbook -i "$work/inventory.yml" fleet/pathvane.yml > "$work/play.out" 2>&1
play_rc=$?
set -e
kill "$holder"
cat "$work/play.out"
[[ $play_rc -ne 0 ]] || fail "the play ended 0 with hosts lacking a result of this run"
table=$collect/table.txt
[[ -f $table ]] || fail "no table written"

# The table: a header, one row per inventory host, a blank line, the summary.
mapfile -t lines < "$table"
header=${lines[0]}
expected_header="host"
for name in "Health Test" "Velta Registration" "Policy D/L (company)" "Retro File Fetch" \
  "Submit Server Upload" "Crash Dump Upload" "Updater update host" "Event Intake" "Url Reputation"; do
  expected_header+=" | $name"
done
[[ $(sed -E 's/ +\|/ |/g; s/ +$//' <<<"$header") == "$expected_header | note" ]] \
  || fail "header is not the nine checks in order: $header"
rows=()
for line in "${lines[@]:1}"; do
  [[ -z $line ]] && break
  rows+=("$line")
done
[[ ${#rows[@]} -eq 14 ]] || fail "expected 14 rows, got ${#rows[@]}"

row_of() {
  local found=() row
  for row in "${rows[@]}"; do [[ $row == "$1 "* ]] && found+=("$row"); done
  [[ ${#found[@]} -eq 1 ]] || fail "expected one row for $1, got ${#found[@]}"
  printf '%s' "${found[0]}"
}
bars() { local only=${1//[^|]/}; echo ${#only}; }
# A host without a result of this run: its reason, first in the table.
while IFS='|' read -r host reason; do
  row=$(row_of "$host")
  [[ $row == *"| no result of this run: $reason"* ]] || fail "$host: expected '$reason': $row"
  [[ $(bars "$row") -eq 1 ]] || fail "$host: the reason row has extra columns: $row"
done <<EOF
unreachable|unreachable
missing|the tool is missing
aborts|the tool ended abnormally (signal 6)
usage|the usage was shown (check pathvane_args)
settings|stopped at settings: Failed to get config
diskfull|no results file written this run: The results file $work/diskfull/log/pathvane-results.json cannot be written: Permission denied
stale|results of an earlier run only (started $stale_started)
EOF
for i in 0 1 2 3 4 5 6; do
  [[ ${rows[$i]} == *"no result of this run"* ]] || fail "hosts without a result are not first: ${rows[$i]}"
done
for host in agent-a agent-b agent-c "../escaped -> _._escaped" hostile as-agent overlap; do
  row=$(row_of "$host")
  [[ $(bars "$row") -eq 10 ]] || fail "$host: not the nine verdict columns and a note: $row"
done
# /P- runs every check but the URL reputation one.
all_pass='^[^|]+( \| pass +){8}\| - +\|$'
for host in agent-b agent-c; do
  [[ $(row_of "$host") =~ ^$host\ +\|\ pass\ +\|\ error\ \(failed\)\ +\| ]] || fail "$host shows no failed registration"
done
for host in agent-a "../escaped -> _._escaped" as-agent overlap; do
  [[ $(row_of "$host") =~ $all_pass ]] || fail "$host: not the passes of a healthy agent: $(row_of "$host")"
done
hostile_row=$(row_of hostile)
[[ $hostile_row == *"names 2 check(s) outside the report"* ]] || fail "hostile: unknown checks not told: $hostile_row"
[[ $hostile_row == "hostile "*"| pass "*"| ? "* ]] || fail "hostile: cells not as its file's known checks: $hostile_row"

# The summary: hosts counted once per code and key, largest first; the
# hostile key stays on its line, its invalid code is dropped.
summary_text=$(sed -n '/^$/,$p' "$table")
echo "$summary_text" | grep -qx "14 hosts, 7 with a result of this run, 7 without" || fail "no host count line"
first_cause=$(echo "$summary_text" | grep -m 1 ' hosts\?: ')
[[ $first_cause =~ ^2\ hosts:\ [a-z_.]+\ \".*\"\ \(agent-b,\ agent-c\)$ ]] || fail "the shared cause is not first: $first_cause"
echo "$summary_text" | grep -qxF '1 host: tls.untrusted_ca "/CN=Evil\n12 hosts: forged" (hostile)' || fail "the hostile cause is not one escaped line"
echo "$summary_text" | grep -q 'bad code' && fail "an invalid cause code was counted"
python3 - "$collect/summary.json" <<'PY' || fail "summary.json is not the table's"
import json, sys
s = json.load(open(sys.argv[1]))
assert len(s["hosts"]) == 14 and sum(h["current"] for h in s["hosts"]) == 7, s["hosts"]
assert s["causes"][0]["count"] == 2 and s["causes"][0]["hosts"] == ["agent-b", "agent-c"], s["causes"][0]
PY

# The collected folders: inside the collect folder, 0700, their files 0600,
# only this run's results.
[[ ! -e $work/escaped/pathvane-results.json && ! -e $work/pathvane-results.json ]] || fail "a file was written outside the collect folder"
[[ -s $collect/_._escaped/pathvane-results.json ]] || fail "../escaped's results not in its folder"
for folder in "$collect"/*/; do
  [[ $(stat -c %a "$folder") == 700 ]] || fail "$folder is not 0700"
done
while read -r mode path; do
  [[ $mode == 600 ]] || fail "$path is $mode, not 0600"
done < <(find "$collect" -type f -printf '%m %p\n')
for host in stale diskfull usage missing; do
  [[ ! -e $collect/$host/pathvane-results.json ]] || fail "$host: an earlier run's results were collected"
done
own_logs=("$work"/overlap/log/pathvane.[0-9]*.log)
[[ ${#own_logs[@]} -eq 1 ]] || fail "overlap: expected one log of its own, got ${own_logs[*]}"
cmp -s "$collect/overlap/pathvane.log" "${own_logs[0]}" || fail "overlap: the collected log is not the run's own"
pid=${own_logs[0]##*/pathvane.}
cmp -s "$collect/overlap/pathvane-results.json" "$work/overlap/log/pathvane-results.${pid%.log}.json" \
  || fail "overlap: the collected results are not the document beside its own log"
[[ $(stat -c %U "$work/as-agent/log/pathvane-results.json") == "$agent_user" ]] || fail "as-agent: the tool did not run as $agent_user"

# An unprivileged connecting user with -b: the run and the fetch as root.
make_agent_dir "$work/root-only"
chmod 700 "$work/root-only"
cat > "$work/inventory-b.yml" <<YAML
all:
  vars:
    ansible_connection: local
    ansible_python_interpreter: "{{ ansible_playbook_python }}"
    pathvane_args: ["/P-"]
    pathvane_collect_dir: "$work/collected-b"
  hosts:
    root-only: {pathvane_agent_dir: "$work/root-only"}
YAML
install -d -m 700 -o "$sudo_user" "$work/collected-b"
runuser -u "$sudo_user" -- env HOME="/home/$sudo_user" ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=0 \
  ansible-playbook -b -i "$work/inventory-b.yml" fleet/pathvane.yml > "$work/play-b.out" 2>&1 \
  || { cat "$work/play-b.out"; fail "the -b play failed"; }
row=$(sed -n 2p "$work/collected-b/table.txt")
[[ $row == "root-only "* && $row =~ $all_pass ]] || fail "-b: not the passes of a healthy agent: $row"
[[ $(stat -c '%U %a' "$work/collected-b/root-only/pathvane-results.json") == "$sudo_user 600" ]] \
  || fail "-b: the collected file is not the controller user's 0600"
echo "fleet test passed: 14 hosts accounted for, causes grouped, hostile file contained, both privilege cases"
