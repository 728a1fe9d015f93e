#!/usr/bin/env bash
# The fleet playbook at fleet size on this machine: an inventory of N local
# entries (default 200), each its own agent directory against the test
# cloud, some with faults (a refused service, the tool missing, options it
# does not know). Runs the play at Ansible's default forks and at each
# further value given, and prints the wall time, the controller's peak
# memory, the time and CPU per host, the tool's own run alone, and the
# cloud's load per run (requests and bytes, through a counting relay).
# Usage: scripts/fleet-scale.sh [hosts] [forks...]   (default: 200 20)
set -euo pipefail
cd "$(dirname "$0")/.."
hosts=${1:-200}
shift || true
extra_forks=("${@:-20}")

scripts/deps.sh ansible-core time
work=$(mktemp -d /tmp/pathvane-fleet-scale-XXXXXX)
# shellcheck source=scripts/lib-agent-dir.sh
source scripts/lib-agent-dir.sh
clean_up_at_exit "$work"
start_cloud "$work/cloud"

# The cloud's load per run: one agent through a relay that counts bytes and
# connections each way.
relay_pid=
python3 - "$CLOUD_HTTPS_PORT" "$CLOUD_HTTP_PORT" "$work/relay" <<'PY' &
import json, socket, sys, threading
targets, out = [int(sys.argv[1]), int(sys.argv[2])], sys.argv[3]
counts = {"connections": 0, "to_cloud": 0, "from_cloud": 0}
lock = threading.Lock()
def pump(a, b, key):
    while data := a.recv(65536):
        with lock: counts[key] += len(data)
        b.sendall(data)
    try: b.shutdown(socket.SHUT_WR)
    except OSError: pass
    with lock: json.dump(counts, open(out + ".counts", "w"))
def serve(listener, port):
    while True:
        client, _ = listener.accept()
        server = socket.create_connection(("127.0.0.1", port))
        with lock: counts["connections"] += 1
        threading.Thread(target=pump, args=(client, server, "to_cloud"), daemon=True).start()
        threading.Thread(target=pump, args=(server, client, "from_cloud"), daemon=True).start()
ports = []
for port in targets:
    s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(64)
    ports.append(s.getsockname()[1])
    threading.Thread(target=serve, args=(s, port), daemon=True).start()
open(out + ".ports", "w").write("%d %d\n" % tuple(ports))
threading.Event().wait()
PY
relay_pid=$!
trap '[[ -n "$relay_pid" ]] && kill "$relay_pid" 2>/dev/null; [[ -n "$cloud_pid" ]] && kill "$cloud_pid" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 100); do [[ -s $work/relay.ports ]] && break; sleep 0.05; done
read -r relay_https relay_http < "$work/relay.ports"

make_agent_dir "$work/one"
sed -i "s/127.0.0.1:$CLOUD_HTTPS_PORT/127.0.0.1:$relay_https/g; s/127.0.0.1:$CLOUD_HTTP_PORT/127.0.0.1:$relay_http/g" \
  "$work/one/agent-config.json"
runs=10
start=$(date +%s.%N)
/usr/bin/time -f '%U %S %M' -o "$work/tool.time" \
  sh -c "for i in \$(seq $runs); do '$work/one/pathvane' /P- >/dev/null 2>&1; done"
tool_ms=$(python3 -c "import sys; print(round(1000 * ($(date +%s.%N) - $start) / $runs))")
requests=$(python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(sum(len(c["transfers"]) for c in d["checks"]))' \
  "$work/one/log/pathvane-results.json")
sleep 0.5
load=$(python3 -c 'import json, sys; c = json.load(open(sys.argv[1])); r = int(sys.argv[2])
print("%d connections, %.1f kB to the cloud, %.1f kB from it" % (c["connections"] / r, c["to_cloud"] / r / 1000, c["from_cloud"] / r / 1000))' \
  "$work/relay.counts" "$runs")
kill "$relay_pid"; wait "$relay_pid" 2>/dev/null || true; relay_pid=

refused_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
{
  echo "all:"
  echo "  vars:"
  echo "    ansible_connection: local"
  echo "    ansible_python_interpreter: \"{{ ansible_playbook_python }}\""
  echo "    pathvane_args: [\"/P-\"]"
  echo "    pathvane_collect_dir: \"$work/collected\""
  echo "  hosts:"
} > "$work/inventory.yml"
for i in $(seq -w 1 "$hosts"); do
  dir=$work/agents/agent-$i
  mkdir -p "$work/agents"
  make_agent_dir "$dir"
  if (( 10#$i % 10 == 0 )); then
    sed -i "s#\"config/velta/endpoint/mgmt\": \"[^\"]*\"#\"config/velta/endpoint/mgmt\": \"https://127.0.0.1:$refused_port/agent/v1/\"#" "$dir/agent-config.json"
  elif (( 10#$i % 25 == 1 )); then
    rm "$dir/pathvane"
  fi
  args=
  (( 10#$i % 50 == 7 )) && args=', pathvane_args: ["/no-such-option"]'
  echo "    agent-$i: {pathvane_agent_dir: \"$dir\"$args}" >> "$work/inventory.yml"
done

play() {
  local forks=$1
  rm -rf "$work/collected"
  local start end
  start=$(date +%s.%N)
  ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_FORKS=$forks \
    /usr/bin/time -f '%U %S %M' -o "$work/play.time" \
    ansible-playbook -i "$work/inventory.yml" fleet/pathvane.yml > "$work/play.out" 2>&1 || true
  end=$(date +%s.%N)
  grep -q ' hosts, ' "$work/collected/table.txt" || { tail -30 "$work/play.out"; echo "no table" >&2; exit 1; }
  read -r user sys peak_kb < <(tail -n 1 "$work/play.time")
  read -r tool_user tool_sys _ < <(tail -n 1 "$work/tool.time")
  python3 - "$forks" "$hosts" "$start" "$end" "$user" "$sys" "$peak_kb" "$tool_user" "$tool_sys" "$runs" \
    "$(grep -m 1 ' hosts, ' "$work/collected/table.txt")" <<'PY'
import sys
forks, hosts, start, end, user, sys_, peak, tuser, tsys, runs, line = sys.argv[1:]
hosts, wall = int(hosts), float(end) - float(start)
cpu = float(user) + float(sys_)
tool_cpu = (float(tuser) + float(tsys)) / int(runs)
print(f"forks {forks:>3}: {hosts} hosts in {wall:.1f} s wall ({1000 * wall / hosts:.0f} ms per host), "
      f"CPU {cpu:.1f} s ({1000 * cpu / hosts:.0f} ms per host, of which the tool ~{1000 * tool_cpu:.0f} ms), "
      f"largest process {int(peak) / 1024:.0f} MB; {line}")
PY
}
echo "tool alone: $tool_ms ms wall per run; per run the cloud sees $requests requests, $load"
play 5
for forks in "${extra_forks[@]}"; do play "$forks"; done
