# Run by the playbook on each host, as the user the tool runs as:
#   sh -c "<this>" pathvane-fleet <agent dir> [tool options...]
# Decides on the host, with the host's clock, whether a results document is
# this run's, and prints key=value lines for the controller (values are one
# line each; nothing from the tool's output reaches a key).
agent_dir=$1
shift
log_dir=$agent_dir/log
fixed=$log_dir/pathvane-results.json

status() { stat -c '%d:%i:%s:%y:%z' "$1" 2>/dev/null || echo none; }
# The run's start as the tool writes it, only when it has that exact shape.
started_of() {
  sed -n 's/^  "started": "\([0-9][0-9T:.Z-]*\)",$/\1/p' "$1" 2>/dev/null | head -n 1
}

before=$(status "$fixed")
clock=$(date -u +%Y-%m-%dT%H:%M:%S.%3NZ)
echo "clock=$clock"
if [ ! -f "$agent_dir/pathvane" ] || [ ! -x "$agent_dir/pathvane" ]; then
  echo "state=missing"
  exit 0
fi
# The report is in the log; only standard error is kept, for its error
# line about the results file and the log it names.
err=$(cd "$agent_dir" && "$agent_dir/pathvane" "$@" 2>&1 >/dev/null)
rc=$?
echo "rc=$rc"
echo "results_error=$(printf '%s\n' "$err" | grep -m 1 '^\[error\] The results file ' | cut -c 1-600)"

doc=$fixed
log=$log_dir/pathvane.log
trace=$(printf '%s\n' "$err" | tail -n 1 | sed -n 's/^Full trace: //p')
# Matched by name only: the tool names its folder by its real path, which a
# linked agent directory does not share.
case ${trace##*/} in
  pathvane.*.log)
    pid=${trace##*/pathvane.}
    pid=${pid%.log}
    # A run that overlapped another keeps its own document beside its log.
    case $pid in
      '' | *[!0-9]*) ;;
      *) doc=${trace%/*}/pathvane-results.$pid.json log=$trace before=none ;;
    esac
    ;;
esac
echo "doc=$doc"
echo "log=$log"

after=$(status "$doc")
started=
[ "$after" != none ] && started=$(started_of "$doc")
echo "started=$started"
if [ "$after" = none ]; then
  echo "fresh=none"
elif [ "$after" != "$before" ] && [ -n "$started" ] && [ "$(printf '%s\n%s\n' "$clock" "$started" | LC_ALL=C sort | head -n 1)" = "$clock" ]; then
  echo "fresh=current"
else
  echo "fresh=earlier"
fi
