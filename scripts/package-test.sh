#!/usr/bin/env bash
# The Debian package as an admin gets it: built, its file list, lintian, the
# manual page through mandoc's lint and man, and the tool unpacked into a
# scratch root (nothing of the machine's own changes) making a default run
# against the test cloud. Needs the test build (scripts/test.sh) for the cloud.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh lintian mandoc man-db
deb=$(scripts/package.sh | tail -1)
echo "== package: $deb"
dpkg-deb -c "$deb"

echo "== lintian"
lint=$(lintian "$deb" 2>&1 | grep -v '^running with root privileges' || true)
echo "$lint"
# An add-on agent directory belongs under /opt; every other finding fails.
if grep -E '^[EWI]: ' <<< "$lint" | grep -qv ' dir-or-file-in-opt '; then
  echo "lintian reports more than dir-or-file-in-opt" >&2
  exit 1
fi

echo "== manual page"
mandoc -T lint -W warning docs/pathvane.1
man -l docs/pathvane.1 > /dev/null

work=$(mktemp -d /tmp/pathvane-package-XXXXXX)
# shellcheck source=scripts/lib-agent-dir.sh
source scripts/lib-agent-dir.sh
clean_up_at_exit "$work"
dpkg-deb -x "$deb" "$work/root"
agent="$work/root/opt/orvix"
[[ ! -e "$agent/agent-config.json" ]] || { echo "the package ships agent-config.json" >&2; exit 1; }
start_cloud "$work/cloud"
write_agent_config "$agent"

echo "== default run of the unpacked tool"
set +e
"$agent/pathvane" /P- > "$work/out" 2> "$work/err"
code=$?
set -e
cat "$work/out"
if [[ $code -ne 0 ]] || ! grep -qxF $'====>  * Completed successfully\t8' "$work/out"; then
  cat "$work/err" >&2
  echo "the unpacked tool did not pass its 8 checks (exit $code)" >&2
  exit 1
fi
[[ -s "$agent/log/pathvane.log" ]] || { echo "no trace log in the unpacked agent directory" >&2; exit 1; }
echo "package test passed: 8 checks, lintian and mandoc clean"
