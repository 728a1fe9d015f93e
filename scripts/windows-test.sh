#!/usr/bin/env bash
# The Windows build under Wine: the cross-built unit tests, then pathvane.exe
# in an agent folder made from the zip, against the Linux test cloud.
# usage: scripts/windows-test.sh [windows build dir]   (default build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
win=${1:-build-win}
win=$(cd "$win" && pwd)

# The Linux test cloud, tinyproxy and the Linux tool to compare with.
if [[ ! -x build/tests/test-cloud || ! -x build/bin/pathvane ]]; then
  cmake -S . -B build -G Ninja > /dev/null
  cmake --build build -j2 --target test-cloud pathvane kit confstore proxfind xferlib
fi

export WINEPREFIX=$win/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# No display: Wine's services run without one.
unset DISPLAY
work=$(mktemp -d /tmp/pathvane-wine-XXXXXX)
proxy_pids=()
# shellcheck source=scripts/lib-agent-dir.sh
source scripts/lib-agent-dir.sh
cleanup() {
  for pid in "${proxy_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [[ -n "$cloud_pid" ]] && kill "$cloud_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
pass() { echo "ok: $1"; }
fail() {
  echo "FAILED: $1" >&2
  failures=$((failures + 1))
}
expect() {  # expect <what> <command...>: the command must succeed
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# A new prefix each time: the CA an earlier run added to its ROOT store
# must not be trusted in this one.
wineserver -k 2> /dev/null || true
rm -rf "$WINEPREFIX"
stage_start=$(date +%s)
wine wineboot --init > /dev/null 2>&1 || true
echo "wine prefix ready in $(($(date +%s) - stage_start)) s"

# 1. Unit tests, cross-built.
shopt -s nullglob
# Wine may exit 0 for a program that died: a test passes only when
# GoogleTest itself said so.
for test in "$win"/tests/*_test.exe; do
  out="$work/$(basename "$test").out"
  if wine "$test" --gtest_brief=1 > "$out" 2>&1 && grep -q '^\[  PASSED  \]' "$out" && ! grep -q '^\[  FAILED  \]' "$out"; then
    pass "$(basename "$test") ($(grep -o '[0-9]* tests\? from [0-9]* test suites\? ran' "$work/$(basename "$test").out" | head -1))"
  else
    cat "$work/$(basename "$test").out" >&2
    fail "$(basename "$test")"
  fi
done
shopt -u nullglob

# 2. The agent folder: what the zip holds, and the agent's configuration.
zip=$(ls "$win"/pathvane-*-win64.zip | head -1)
start_cloud "$work/cloud"
agent=$work/agent
mkdir "$agent"
(cd "$agent" && unzip -q "$zip")
# Paths inside agent-config.json are the Windows form of the folder.
windows_path() { echo "Z:${1//\//\\}"; }
json_path() { windows_path "$1" | sed 's/\\/\\\\/g'; }
write_agent_config "$agent"
sed -i "s|\"config/agent/directory/base\": \"[^\"]*\"|\"config/agent/directory/base\": \"$(json_path "$agent" | sed 's/\\/\\\\/g')\"|" \
  "$agent/agent-config.json"
cp "$agent/agent-config.json" "$work/config-trusted.json"

run_tool() {  # run_tool <name> <options...>: report in $work/<name>.out, errors in .err, code in .code
  local name=$1
  shift
  set +e
  (cd "$agent" && wine ./pathvane.exe "$@" > "$work/$name.out" 2> "$work/$name.err")
  echo $? > "$work/$name.code"
  set -e
}
count() { grep -c -- "$1" "$2" || true; }

# What each file of the zip imports: nothing outside the zip but Windows'
# own DLLs, and the tool binds only KERNEL32 and msvcrt at start.
system_dlls=" kernel32.dll msvcrt.dll advapi32.dll bcrypt.dll crypt32.dll ws2_32.dll user32.dll iphlpapi.dll winhttp.dll "
zip_files=" $(cd "$agent" && ls | tr 'A-Z' 'a-z' | tr '\n' ' ') "
imports_ok=true
for file in "$agent"/*.exe "$agent"/*.dll; do
  lists=$(python3 scripts/pe-imports.py x86_64-w64-mingw32-nm "$file")
  echo "$(basename "$file"): $(echo "$lists" | tr '\n' ';')"
  for dll in $(echo "$lists" | sed 's/^[a-z ]*: *//' | tr 'A-Z' 'a-z'); do
    [[ $system_dlls == *" $dll "* || $zip_files == *" $dll "* ]] || { echo "  $dll is neither in the zip nor Windows' own" >&2; imports_ok=false; }
  done
done
expect "every import is in the zip or Windows' own" $imports_ok
expect "pathvane.exe delay-loads libkit, OpenSSL, CRYPT32, WS2_32, USER32 and IPHLPAPI" \
  test "$(python3 scripts/pe-imports.py x86_64-w64-mingw32-nm "$agent/pathvane.exe" | tail -1)" = \
  "delay imports: advapi32.dll crypt32.dll iphlpapi.dll libcrypto-3-x64.dll libkit.dll libssl-3-x64.dll user32.dll ws2_32.dll"
expect "pathvane.exe binds only KERNEL32 and msvcrt at start" \
  test "$(python3 scripts/pe-imports.py x86_64-w64-mingw32-nm "$agent/pathvane.exe" | head -1)" = "imports: KERNEL32.dll msvcrt.dll"

# Lazy binding: the usage run calls only libkit (trace_close), so libkit.dll
# loads and OpenSSL's DLLs, CRYPT32 and IPHLPAPI never do. The lines of the
# tool's own thread only (Wine's own programs may start beside it).
(cd "$agent" && WINEDEBUG=+loaddll wine ./pathvane.exe /X > /dev/null 2> "$work/loaddll.all") || true
thread=$(grep -i 'loaddll.*Loaded.*pathvane\.exe' "$work/loaddll.all" | head -1 | cut -d: -f1)
grep "^$thread:.*loaddll.*Loaded" "$work/loaddll.all" > "$work/loaddll.err" || true
loaded() { grep -qi "$1" "$work/loaddll.err"; }
expect "usage run: libkit.dll loaded at its call" loaded 'libkit\.dll'
expect "usage run: OpenSSL never loaded" bash -c "! grep -qi 'loaddll.*libcrypto' '$work/loaddll.err'"
expect "usage run: CRYPT32 and IPHLPAPI never loaded" bash -c "! grep -qiE 'loaddll.*(crypt32|iphlpapi)' '$work/loaddll.err'"

# 3. A default run: eight checks pass.
milliseconds() { echo $(($(date +%s%N) / 1000000)); }
start=$(milliseconds)
run_tool default
windows_ms=$(($(milliseconds) - start))
expect "default run exits 0" test "$(cat "$work/default.code")" = 0
expect "default run: 8 checks pass" test "$(count '\[pass\]' "$work/default.out")" = 8
expect "report lines end in CR LF" grep -q $'\r$' "$work/default.out"
expect "trace log written" test -s "$agent/log/pathvane.log"

# The same folder's configuration under the Linux tool: the same report
# but for line ends and the host's own facts.
linux_agent=$work/linux-agent
mkdir "$linux_agent"
cp build/bin/pathvane "$linux_agent/"
for lib in build/bin/lib*.so; do ln -s "$top/$lib" "$linux_agent/"; done
write_agent_config "$linux_agent"
start=$(milliseconds)
(cd "$linux_agent" && ./pathvane > "$work/linux.out" 2> "$work/linux.err") || true
linux_ms=$(($(milliseconds) - start))
tr -d '\r' < "$work/default.out" > "$work/default.lf"
if diff -u "$work/linux.out" "$work/default.lf" > "$work/report.diff"; then
  pass "report identical to the Linux tool's but for line ends"
else
  cat "$work/report.diff" >&2
  fail "report differs from the Linux tool's"
fi
echo "default run: Windows under Wine ${windows_ms} ms, Linux ${linux_ms} ms"

# 4. Trust only through the ROOT store: without the configured certificates
# the health test fails with code 60 and its hint; with the cloud's CA added
# to the prefix's CurrentUser ROOT store it passes.
python3 - "$agent/agent-config.json" <<'PY'
import json, sys
path = sys.argv[1]
config = json.load(open(path))
for key in ("config/agent/cloud/trustedcerts/cert", "config/agent/cloud/est/cert"):
    config.pop(key, None)
json.dump(config, open(path, "w"), indent=1)
PY
run_tool untrusted /T
expect "/T untrusted: code 60" grep -q 'SSL peer certificate or SSH remote key was not OK\|Peer certificate cannot be authenticated' "$work/untrusted.out"
expect "/T untrusted: a hint" grep -q '^\[hint\]' "$work/untrusted.err"
expect "/T untrusted: the hint names the ROOT store, the system's trust here" \
  grep -q "and no EST CA, only the Windows ROOT certificate store" "$work/untrusted.err"
openssl x509 -in "$CLOUD_CA_CERT" -outform DER -out "$work/ca.der"
expect "cloud CA added to the CurrentUser ROOT store" wine "$win/tests/add_root_cert.exe" "$(windows_path "$work/ca.der")"
run_tool root_store /T
expect "/T trusted through the ROOT store alone" test "$(count '\[pass\]' "$work/root_store.out")" = 1

# 5. A planted openssl.cnf is not read: one that would stop OpenSSL, at the
# place the environment names and at the built-in configuration folder.
cat > "$work/openssl.cnf" <<'CNF'
config_diagnostics = 1
openssl_conf = planted
[planted]
providers = planted_providers
[planted_providers]
planted = planted_provider
[planted_provider]
module = planted-provider-that-does-not-exist.dll
activate = 1
CNF
# Control: an OpenSSL that reads the file loses its default provider (no TLS).
expect "control: OpenSSL without the file has its default provider" \
  bash -c "openssl list -providers | grep -q default"
expect "control: the planted file takes it away from an OpenSSL that reads it" \
  bash -c "! OPENSSL_CONF='$work/openssl.cnf' openssl list -providers | grep -q default"
for dir in "$WINEPREFIX/drive_c/usr/local/ssl" "$WINEPREFIX/drive_c/Program Files/Common Files/Pathvane/ssl"; do
  mkdir -p "$dir"
  cp "$work/openssl.cnf" "$dir/openssl.cnf"
done
cp "$work/config-trusted.json" "$agent/agent-config.json"
set +e
(cd "$agent" && OPENSSL_CONF="$(windows_path "$work/openssl.cnf")" wine ./pathvane.exe /T > "$work/planted.out" 2> "$work/planted.err")
set -e
expect "planted openssl.cnf not read: /T passes" test "$(count '\[pass\]' "$work/planted.out")" = 1

# 6. /PP through tinyproxy with Basic credentials, the password stored as the agent stores it.
proxy_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
start_tinyproxy() {  # start_tinyproxy <dir> <port> [user password]
  mkdir -p "$1"
  {
    echo "Port $2"
    echo "Listen 127.0.0.1"
    echo "Timeout 30"
    echo "LogFile \"$1/tinyproxy.log\""
    echo "LogLevel Connect"
    echo "Allow 127.0.0.1"
    [[ $# -ge 4 ]] && echo "BasicAuth $3 $4"
  } > "$1/tinyproxy.conf"
  tinyproxy -d -c "$1/tinyproxy.conf" > /dev/null 2>&1 &
  proxy_pids+=($!)
  for _ in $(seq 1 100); do
    (echo > "/dev/tcp/127.0.0.1/$2") 2> /dev/null && return 0
    sleep 0.05
  done
  return 1
}
auth_port=$(proxy_port)
start_tinyproxy "$work/tinyproxy-auth" "$auth_port" pathvane 's3cret-pw'
stored=$(cd "$agent" && printf 's3cret-pw\n' | wine ./kit-password.exe | tr -d '\r')
python3 - "$agent/agent-config.json" "$auth_port" "$stored" <<'PY'
import json, sys
path, port, stored = sys.argv[1], int(sys.argv[2]), sys.argv[3]
config = json.load(open(path))
config.update({"config/proxy/type": "http", "config/proxy/server": "127.0.0.1", "config/proxy/port": port,
               "config/proxy/authtype": 1, "config/proxy/username": "pathvane",
               "config/proxy/password": {"base64": stored}})
json.dump(config, open(path, "w"), indent=1)
PY
run_tool proxy_policy /PP /T
expect "/PP through tinyproxy with Basic: /T passes" test "$(count '\[pass\]' "$work/proxy_policy.out")" = 1
expect "/PP: tinyproxy carried the tunnel" grep -q 'CONNECT' "$work/tinyproxy-auth/tinyproxy.log"

# 7. /PD: the proxy WinHTTP reports (under Wine, WinHttpGetDefaultProxyConfiguration follows http_proxy).
open_port=$(proxy_port)
start_tinyproxy "$work/tinyproxy-open" "$open_port"
cp "$work/config-trusted.json" "$agent/agent-config.json"
set +e
(cd "$agent" && http_proxy="http://127.0.0.1:$open_port" wine ./pathvane.exe /PD /T > "$work/discovered.out" 2> "$work/discovered.err")
set -e
expect "/PD: /T passes through the discovered proxy" test "$(count '\[pass\]' "$work/discovered.out")" = 1
expect "/PD: the discovered proxy carried the tunnel" grep -q 'CONNECT' "$work/tinyproxy-open/tinyproxy.log"

# 8. Without confstore.dll: the configuration cannot be loaded, the run stops with 1.
rm "$agent/confstore.dll"
run_tool no_confstore /T
expect "missing confstore.dll: exit 1" test "$(cat "$work/no_confstore.code")" = 1
expect "missing confstore.dll: its message" grep -q 'Could not load confstore.dll' "$work/no_confstore.err"

for name in default untrusted root_store planted proxy_policy discovered no_confstore; do
  if [[ -f "$work/$name.out" ]]; then
    cp "$work/$name.out" "$win/wine-$name.out"
    cp "$work/$name.err" "$win/wine-$name.err"
  fi
done
cp "$work/linux.out" "$win/linux-default.out"
if ((failures)); then
  echo "windows tests: $failures failed" >&2
  exit 1
fi
echo "windows tests: all passed"
