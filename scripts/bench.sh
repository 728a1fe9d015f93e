#!/usr/bin/env bash
# Times pathvane against curl making the same exchanges with the local test
# cloud over HTTPS, and measures the peak memory of both, also against big
# health answers.
#   scripts/bench.sh [runs]    timed runs per command (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-20}
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "usage: scripts/bench.sh [runs]" >&2; exit 1; }
rss_runs=5

fail() { echo "bench: $*" >&2; exit 1; }

scripts/deps.sh
missing=()
for p in hyperfine time curl; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  [[ $(id -u) -eq 0 ]] || fail "missing packages (install them as root): ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

out=$(mktemp -d /tmp/pathvane-bench-XXXXXX)
cmake -S . -B build -G Ninja > /dev/null
cmake --build build -j2 > "$out/build.log" || { cat "$out/build.log" >&2; fail "build failed"; }

# Proxy discovery is not what is timed, and curl must not take a proxy either.
unset http_proxy https_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY NO_PROXY

work="$out/run"
mkdir "$work"
# shellcheck source=scripts/lib-agent-dir.sh
source scripts/lib-agent-dir.sh
clean_up_at_exit "$work"
start_cloud "$work/cloud"
# An agent directory holding copies of the libraries, so that a rebuild
# while the bench runs cannot change what it measures.
frozen_agent_dir() {
  make_agent_dir "$1"
  for lib in "$1"/lib*.so; do cp --remove-destination "$(readlink -f "$lib")" "$lib"; done
}
agent="$work/agent"
frozen_agent_dir "$agent"
tool="$agent/pathvane"
control="$CLOUD_HTTP_URL/_cloud"
files="$work/files"
mkdir "$files"

# The words of a command line as one string that hyperfine -N splits back.
words() { local text; text=$(printf '%q ' "$@"); printf '%s' "${text% }"; }

# The tool's report must show exactly `expected` checks, every one passing.
check_report() {
  local expected=$1 report=$2 passed others
  passed=$(grep -c '^========> \[pass\]' "$report" || true)
  others=$(grep '^========> \[' "$report" | grep -vc '\[pass\]' || true)
  [[ "$passed" -eq "$expected" && "$others" -eq 0 ]] && return 0
  cat "$report" >&2
  fail "pathvane ${*:3}: $passed of $expected checks passed"
}

run_tool() {
  local expected=$1
  shift
  "$tool" "$@" > "$work/report" 2> "$work/report.err" || { cat "$work/report.err" >&2; fail "pathvane $* failed"; }
  check_report "$expected" "$work/report" "$@"
}

# The body the tool sent in its last request to path, from the cloud's record.
sent_body() {
  curl -q -sS "$control/requests?path=$1" | grep -o '"body_base64":"[^"]*"' | tail -n 1 | cut -d'"' -f4 | base64 -d
}

# Appends one curl invocation, as a shell command, to `transfers`; output is
# where the answer goes. Each is its own process and connection, as each of
# the tool's requests is its own connection.
add_transfer() {
  local output=$1
  shift
  transfers+=("$(words curl -q -sS -o "$output" -w '%{http_code}\n' --cacert "$CLOUD_CA_CERT" "$@")")
}

# The invocations of `transfers` run one after another, as one shell command.
joined() {
  local IFS='&'
  local text="${transfers[*]}"
  printf '%s' "${text//&/ && }"
}

# check_curl "STATUS...": runs the invocations of `transfers` once; they must
# answer the given statuses.
check_curl() {
  local expected=$1 got
  got=$(bash -c "$(joined)" 2> "$work/curl.err") || { cat "$work/curl.err" >&2; fail "curl failed: $(joined)"; }
  got=${got//$'\n'/ }
  [[ "$got" == "$expected" ]] || fail "curl answered $got, not $expected: $(joined)"
}

# The largest peak resident set, in KiB, of a few runs of a command.
peak_rss() {
  local most=0 kib
  for _ in $(seq 1 "$rss_runs"); do
    /usr/bin/time -f %M -o "$work/rss" "$@" > /dev/null 2>&1 || fail "$* failed under /usr/bin/time"
    kib=$(tail -n 1 "$work/rss")
    ((kib > most)) && most=$kib
  done
  echo "$most"
}

# The medians of a hyperfine JSON export, in ms, one line per command.
medians_ms() { grep -o '"median": *[0-9.eE+-]*' "$1" | awk '{ print $2 * 1000 }'; }

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# The whole default run first: it gives the bodies curl sends.
curl -q -sS -o /dev/null -X DELETE "$control/requests"
run_tool 8 /P-
sent_body /agent/v1/register > "$files/register.form"
sent_body /event/ > "$files/event.form"
[[ -s "$files/register.form" && -s "$files/event.form" ]] || fail "no registration or event body in the cloud's record"
# The tool's upload pattern: the words 0 to 65533 and a zero, 131,070 bytes.
perl -e 'print pack("v*", 0 .. 65533, 0)' > "$files/test.bin"
run_tool 2 /P- /T /U
run_tool 0 /C

agent_guid=6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21
user="${agent_guid//-/}:"
policy_url="$CLOUD_HTTPS_URL/policy/company/aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee-$((7 | 0x40000000))"
upload_url="$CLOUD_HTTPS_URL/upload/4"
test_file="file=@$files/test.bin;filename=C:\\test.bin"

transfers=()
add_transfer /dev/null "$CLOUD_HTTPS_URL/health"
add_transfer /dev/null "$CLOUD_HTTPS_URL/url-reputation"
curl_plain=$(joined)
check_curl "200 400"

transfers=()
add_transfer /dev/null "$CLOUD_HTTPS_URL/health"
add_transfer /dev/null --data-binary "@$files/register.form" "$CLOUD_HTTPS_URL/agent/v1/register"
add_transfer "$files/policy.xml" "$policy_url"
add_transfer /dev/null -u "$user" -F "$test_file" -F version=4.0.0.0 -F "agent-guid=$agent_guid" \
  -F encrypted=0 "$upload_url/e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
add_transfer /dev/null -u "$user" -F "$test_file" -F version=4.0.0.0 -F "guid=$agent_guid" \
  -F module=agent "$upload_url/71114ed9c1d899aec9fd4eb5c3e1b12afdfe3e72739e0d799f7e74ed43d646b7"
add_transfer /dev/null -u "$user" -F "file=@$files/test.bin;filename=C:\\pathvane_crash_dump_upload_test.bin" \
  -F version=9.9.9.9 -F "guid=$agent_guid" -F module=pathvane_test "$CLOUD_HTTPS_URL/crashdump"
add_transfer /dev/null "$CLOUD_HTTP_URL/updater/seed"
add_transfer /dev/null --data-binary "@$files/event.form" "$CLOUD_HTTPS_URL/event/"
curl_all=$(joined)
check_curl "200 200 200 200 200 200 200 200"

# pair NAME TOOL-ARGS... -- CURL-COMMAND: one hyperfine run of both, through
# the shell whose start-up hyperfine measures and subtracts, then the peak
# memory of each (of curl, the largest of its invocations).
pair() {
  local name=$1 args=()
  shift
  while [[ $1 != -- ]]; do args+=("$1"); shift; done
  shift
  echo "timing ($name): pathvane ${args[*]} against curl ..."
  # The cloud forgets its records between runs, so it does the same work for both.
  hyperfine --warmup 3 --runs "$runs" --export-json "$out/$name.json" \
    --prepare "$(words curl -q -sS -o /dev/null -X DELETE "$control/requests")" \
    -n "pathvane ${args[*]}" "$(words "$tool" "${args[@]}")" \
    -n curl "$1" > "$out/$name.txt" 2>&1 || { cat "$out/$name.txt" >&2; fail "hyperfine failed"; }
  mapfile -t medians < <(medians_ms "$out/$name.json")
  [[ ${#medians[@]} -eq 2 ]] || fail "no medians in $out/$name.json"
  rss_tool=$(peak_rss "$tool" "${args[@]}")
  rss_curl=$(peak_rss bash -c "$1")
}

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()
row() {
  rows+=("$(awk -v what="$1" -v t="${medians[0]}" -v c="${medians[1]}" -v rt="$(mib "$rss_tool")" \
    -v rc="$(mib "$rss_curl")" 'BEGIN { printf "%-34s %8.1f %8.1f %6.2f %9s %9s", what, t, c, t / c, rt, rc }')")
}
pair a /C -- "curl --version"
row "(a) /C | curl --version"
pair b /P- /T /U -- "$curl_plain"
row "(b) /P- /T /U | 2 GETs"
pair c /P- -- "$curl_all"
row "(c) /P- | 8 requests"

# Big answers: the health URL answers with N generated bytes.
big=()
for size in 1000000 100000000; do
  curl -q -sS -o /dev/null -X POST "$control/reset"
  curl -q -sS -f -o /dev/null -X POST -d "{\"path\": \"/health\", \"fill\": $size}" "$control/rules" \
    || fail "the cloud refused the fill rule"
  run_tool 1 /P- /T
  transfers=()
  add_transfer /dev/null "$CLOUD_HTTPS_URL/health"
  check_curl 200
  rss_tool=$(peak_rss "$tool" /P- /T)
  rss_curl=$(peak_rss bash -c "$(joined)")
  big+=("$(printf '%-5s %9s %9s' "$((size / 1000000))" "$(mib "$rss_tool")" "$(mib "$rss_curl")")")
done
curl -q -sS -o /dev/null -X POST "$control/reset"

# Hostile policy templates: each of the four holds 200 placeholders of one
# long value. Every row fails its field at once; the time and memory are
# those of the whole /C run.
templates=()
for size in 100000 1000000; do
  hostile="$work/agent-$size"
  frozen_agent_dir "$hostile"
  SIZE=$size perl -0777 -i -pe '
    my $t = "https://p.test/" . ("[%set:agent/big%]" x 200);
    s/("config\/velta\/endpoint\/policy\/\w+": )"[^"]*"/$1"$t"/g;
    s/^\{\n/"{\n  \"config\/agent\/big\": \"" . ("v" x $ENV{SIZE}) . "\",\n"/e;' "$hostile/agent-config.json"
  "$hostile/pathvane" /C > /dev/null 2> "$work/hostile.err" || true
  grep -q "Conversion of policy URL failed" "$work/hostile.err" || fail "the hostile templates did not fail their field"
  hyperfine -N --warmup 1 --runs "$runs" --export-json "$out/templates-$size.json" "$(words "$hostile/pathvane" /C)" \
    > "$out/templates-$size.txt" 2>&1 || { cat "$out/templates-$size.txt" >&2; fail "hyperfine failed"; }
  median=$(medians_ms "$out/templates-$size.json")
  config_kb=$(( $(stat -c %s "$hostile/agent-config.json") / 1024 ))
  templates+=("$(printf '%-9s %9s %8.1f %9s' "$((size / 1000)) KB" "$config_kb KB" "$median" \
    "$(mib "$(peak_rss "$hostile/pathvane" /C)")")")
done

echo
echo "pathvane against curl on the local test cloud: median of $runs runs after 3 warm-ups;"
echo "peak RSS the largest of $rss_runs runs. Load average $load_start at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end."
echo "curl: one invocation per exchange, run one after another (hyperfine subtracts the shell's start-up);"
echo "peak RSS of curl is that of its largest invocation."
echo
printf '%-34s %8s %8s %6s %9s %9s\n' "comparison: tool | curl" "tool ms" "curl ms" "ratio" "tool MB" "curl MB"
printf '%s\n' "${rows[@]}"
echo
echo "health check (/P- /T) against a big answer, peak RSS:"
printf '%-5s %9s %9s\n' "MB" "tool MB" "curl MB"
printf '%s\n' "${big[@]}"
echo
echo "/C with hostile policy templates (200 placeholders of one value in each of the four):"
printf '%-9s %9s %8s %9s\n' "value" "config" "tool ms" "tool MB"
printf '%s\n' "${templates[@]}"
echo
echo "(b): the URL-reputation GET is answered 400, which the tool counts as reachable; curl gets the same."
echo "raw hyperfine JSON (and its text output): $out/{a,b,c,templates-*}.json"
