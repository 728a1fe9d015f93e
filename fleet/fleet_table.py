"""Controller side of fleet/pathvane.yml (run with Ansible's own python).

  prepare COLLECT_DIR  < JSON list of inventory names
      prints {name: folder}: one folder per host whose name cannot leave the
      collect folder, made 0700, emptied of an earlier play's files.
  table COLLECT_DIR    < JSON list of per-host facts from the play
      writes table.txt and summary.json (0600), prints the table; exit 3
      when a host has no result of this run.
"""
import json
import os
import re
import sys

CHECKS = [
    "Health Test",
    "Velta Registration",
    "Policy D/L (company)",
    "Retro File Fetch",
    "Submit Server Upload",
    "Crash Dump Upload",
    "Updater update host",
    "Event Intake",
    "Url Reputation",
]
VERDICTS = {"pass", "warning", "error"}
COUNTED = {"success", "issues", "failed"}
CAUSE_CODE = re.compile(r"^[a-z][a-z0-9_]*(\.[a-z0-9_]+)+$")
COLLECTED = ("pathvane-results.json", "pathvane.log")
NAMES_SHOWN = 3


def shown(text, limit=300):
    """One line of outside text: control bytes and the column bar escaped."""
    text = str(text)
    if len(text) > limit:
        text = text[:limit] + "..."
    out = []
    for ch in text:
        if ord(ch) < 0x20 or 0x7F <= ord(ch) < 0xA0 or ch in "\u2028\u2029":
            out.append("\\x%02x" % ord(ch) if ord(ch) < 0x100 else "\\u%04x" % ord(ch))
        elif ch == "\\":
            out.append("\\\\")
        elif ch == "|":
            out.append("\\|")
        else:
            out.append(ch)
    return "".join(out)


def folder_names(names):
    taken, mapping = set(), {}
    for name in sorted(names):
        safe = re.sub(r"[^A-Za-z0-9_.-]", "_", name)[:100] or "_"
        if safe.startswith("."):
            safe = "_" + safe[1:]
        base, n = safe, 2
        while safe in taken or safe in ("table.txt", "summary.json"):
            safe, n = "%s-%d" % (base, n), n + 1
        taken.add(safe)
        mapping[name] = safe
    return mapping


def write_private(path, text):
    fd = os.open(path + ".tmp", os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w") as out:
        out.write(text)
    os.chmod(path + ".tmp", 0o600)
    os.replace(path + ".tmp", path)


def prepare(collect_dir, names):
    os.makedirs(collect_dir, mode=0o700, exist_ok=True)
    mapping = folder_names(names)
    for safe in mapping.values():
        folder = os.path.join(collect_dir, safe)
        if os.path.islink(folder):
            os.unlink(folder)
        os.makedirs(folder, mode=0o700, exist_ok=True)
        os.chmod(folder, 0o700)
        for name in COLLECTED:
            try:
                os.unlink(os.path.join(folder, name))
            except FileNotFoundError:
                pass
    return mapping


def host_lines(stdout):
    facts = {}
    for line in (stdout or "").splitlines():
        key, sep, value = line.partition("=")
        if sep and key not in facts:
            facts[key] = value
    return facts


def signal_text(rc):
    return "signal %d" % (rc - 128) if rc > 128 else "exit code %d" % rc


def read_document(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        return None, "results file not readable: %s" % e.__class__.__name__
    if not isinstance(doc, dict) or not isinstance(doc.get("checks"), list):
        return None, "results file not understood"
    return doc, None


def judge(host, collect_dir):
    """(reason or None, document or None) for one host's facts."""
    if host.get("unreachable"):
        return "unreachable", None
    run = host.get("run") or {}
    facts = host_lines(run.get("stdout"))
    if "clock" not in facts:
        return "the run could not start: %s" % (run.get("msg") or run.get("stderr") or "no answer"), None
    if facts.get("state") == "missing":
        return "the tool is missing", None
    try:
        rc = int(facts.get("rc", ""))
    except ValueError:
        return "the tool's end is unknown", None
    fresh = facts.get("fresh")
    results_error = facts.get("results_error", "")
    if rc not in (0, 1):
        return "the tool ended abnormally (%s)" % signal_text(rc), None
    if rc == 1 and fresh != "current" and not results_error:
        return "the usage was shown (check pathvane_args)", None
    doc = None
    if fresh == "current":
        if not host.get("fetched"):
            return "results file not collected: %s" % (host.get("fetch_msg") or "fetch failed"), None
        doc, why = read_document(os.path.join(collect_dir, host["folder"], "pathvane-results.json"))
        if why:
            return why, None
        if rc == 1 or doc.get("exit_code") != 0:
            errors = doc.get("errors")
            first = errors[0] if isinstance(errors, list) and errors else ""
            return "stopped at settings: %s" % first, doc
        return None, doc
    if results_error:
        return "no results file written this run: %s" % results_error.removeprefix("[error] "), None
    if facts.get("started"):
        return "results of an earlier run only (started %s)" % facts["started"], None
    return "no results file written this run", None


def cells(doc):
    found, others = {}, 0
    for check in doc["checks"]:
        if not isinstance(check, dict):
            others += 1
            continue
        name = check.get("name")
        if name not in CHECKS:
            others += 1
            continue
        if name in found:
            continue
        verdict, counted = check.get("verdict"), check.get("counted")
        if verdict not in VERDICTS or counted not in COUNTED:
            found[name] = ("?", "failed")
        else:
            found[name] = (verdict if counted == "success" else "%s (%s)" % (verdict, counted), counted)
    return found, others


def causes_of(doc):
    seen = set()
    for check in doc.get("checks", []):
        if not isinstance(check, dict) or not isinstance(check.get("causes"), list):
            continue
        for cause in check["causes"]:
            if not isinstance(cause, dict):
                continue
            code, key = cause.get("code"), cause.get("key")
            if not isinstance(code, str) or not CAUSE_CODE.match(code):
                continue
            key = key if isinstance(key, str) else ""
            seen.add((code, key))
    return seen


def table(collect_dir, hosts):
    rows, groups = [], {}
    for host in hosts:
        reason, doc = judge(host, collect_dir)
        label = host["name"] if host["folder"] == host["name"] else "%s -> %s" % (host["name"], host["folder"])
        row = {"name": host["name"], "label": shown(label), "folder": host["folder"], "reason": reason}
        if doc is not None:
            for cause in causes_of(doc):
                groups.setdefault(cause, []).append(host["name"])
        if reason is None:
            found, others = cells(doc)
            counted = [c for _, c in found.values()]
            row["rank"] = 1 if "failed" in counted else 2 if "issues" in counted else 3
            row["cells"] = [found[n][0] if n in found else "-" for n in CHECKS]
            row["note"] = "the results file also names %d check(s) outside the report" % others if others else ""
        else:
            row["rank"] = 0
        rows.append(row)
    rows.sort(key=lambda r: (r["rank"], r["name"]))

    width = max([4] + [len(r["label"]) for r in rows])
    widths = [max([len(n)] + [len(r["cells"][i]) for r in rows if "cells" in r]) for i, n in enumerate(CHECKS)]
    lines = [" | ".join(["host".ljust(width)] + [n.ljust(w) for n, w in zip(CHECKS, widths)] + ["note"])]
    for r in rows:
        if "cells" in r:
            fields = [r["label"].ljust(width)] + [c.ljust(w) for c, w in zip(r["cells"], widths)] + [shown(r["note"])]
        else:
            fields = [r["label"].ljust(width), "no result of this run: " + shown(r["reason"])]
        lines.append(" | ".join(fields).rstrip())

    without = [r for r in rows if r["rank"] == 0]
    ordered = sorted(groups.items(), key=lambda g: (-len(g[1]), g[0]))
    lines += ["", "%d hosts, %d with a result of this run, %d without" % (len(rows), len(rows) - len(without), len(without))]
    lines.append("causes (a host counted once per code and key):" if ordered else "causes: none")
    summary_causes = []
    for (code, key), names in ordered:
        names = sorted(names)
        listed = ", ".join(shown(n) for n in names[:NAMES_SHOWN])
        if len(names) > NAMES_SHOWN:
            listed += ", ... %d more" % (len(names) - NAMES_SHOWN)
        quoted = json.dumps(key if len(key) <= 200 else key[:200] + "...")
        lines.append("%d host%s: %s %s (%s)" % (len(names), "" if len(names) == 1 else "s", code, quoted, listed))
        summary_causes.append({"code": code, "key": key, "count": len(names), "hosts": names})
    text = "\n".join(lines) + "\n"

    summary = {
        "hosts": [
            {"name": r["name"], "folder": r["folder"], "current": r["rank"] != 0, "reason": r["reason"],
             "verdicts": dict(zip(CHECKS, r["cells"])) if "cells" in r else None}
            for r in rows
        ],
        "causes": summary_causes,
    }
    write_private(os.path.join(collect_dir, "table.txt"), text)
    write_private(os.path.join(collect_dir, "summary.json"), json.dumps(summary, indent=1) + "\n")
    # fetch leaves its files with the controller's umask.
    for host in hosts:
        for name in COLLECTED:
            path = os.path.join(collect_dir, host["folder"], name)
            if os.path.isfile(path) and not os.path.islink(path):
                os.chmod(path, 0o600)
    sys.stdout.write(text)
    return 3 if without else 0


def main():
    mode, collect_dir = sys.argv[1], sys.argv[2]
    given = json.load(sys.stdin)
    if mode == "prepare":
        json.dump(prepare(collect_dir, given), sys.stdout)
        return 0
    return table(collect_dir, given)


if __name__ == "__main__":
    sys.exit(main())
