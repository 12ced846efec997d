"""Comparing what Tallyglass stored with what the stand-in sent, and saying
why a reply is missing when one is."""
import time

# The events on which Tallyglass reads a transcript (SessionStart and
# SessionEnd only mark the session).
READING_EVENTS = ("Stop", "SubagentStop", "PostToolUse", "TaskCompleted")


class Report:
    def __init__(self):
        self.passed, self.failed, self.figures = 0, 0, []

    def check(self, name, ok, reason, details=()):
        print("%s %s: %s" % ("PASS" if ok else "FAIL", name, reason), flush=True)
        for line in details:
            print("       " + line, flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok

    def figure(self, text):
        self.figures.append(text)


def expected_row(reply):
    usage = reply["usage"]
    row = {"model": reply["model"], "role": "assistant",
           "inputTokens": usage["input_tokens"], "outputTokens": usage["output_tokens"],
           "cacheCreationInputTokens": usage["cache_creation_input_tokens"],
           "cacheReadInputTokens": usage["cache_read_input_tokens"],
           "cacheCreation1hInputTokens": usage["cache_creation"]["ephemeral_1h_input_tokens"],
           # A subagent's turns belong to the session that started it.
           "isSubagent": 1 if reply["kind"] == "subagent" else 0}
    if reply.get("session"):
        row["sessionId"] = reply["session"]
    return row


def mismatch(row, reply):
    """What differs between a stored row and the reply sent, or None."""
    wrong = ["%s=%r (sent %r)" % (key, row.get(key), value)
             for key, value in expected_row(reply).items() if row.get(key) != value]
    if not (row.get("cost") or 0) > 0:
        wrong.append("cost=%r (not priced)" % row.get("cost"))
    return ", ".join(wrong) or None


def held(event, message_id):
    return message_id in event.get("transcript_ids", []) or message_id in event.get("agent_transcript_ids", [])


def session_events(events, session):
    return sorted((e for e in events if e["payload"].get("session_id") == session), key=lambda e: e["t"])


def hook_story(events, session, ids):
    """The session's hook events in order, each with how many of the given
    replies the transcripts held when it ran: "Stop[0/1] SessionEnd[1/1]"."""
    return " ".join("%s[%d/%d]" % (e["payload"].get("hook_event_name"), sum(held(e, i) for i in ids), len(ids))
                    for e in session_events(events, session)) or "not observed"


def explain(sandbox, missing, imported=None):
    """A line per missing reply: is it on disk, does an import of the same
    files store it, and had Claude Code written it when the hooks ran."""
    if not missing:
        return []
    imported = sandbox.import_copy() if imported is None else imported
    events = sandbox.events()
    lines, early = [], 0
    for reply in missing:
        on_disk = sandbox.on_disk('"id":"%s"' % reply["id"])
        by_import = reply["id"] in imported and not mismatch(imported[reply["id"]], reply)
        later = [e for e in session_events(events, reply["session"])
                 if e["t"] >= reply["t"] and e["payload"].get("hook_event_name") in READING_EVENTS]
        seen_by = [e["payload"]["hook_event_name"] for e in later if held(e, reply["id"])]
        if not sandbox.observe:
            hooks = "hooks not observed"
        elif not later:
            hooks = "no transcript-reading hook ran after it"
        elif seen_by:
            hooks = "in the transcript when %s ran" % "/".join(seen_by)
        else:
            hooks = "not yet in the transcript when %s ran" % "/".join(e["payload"]["hook_event_name"] for e in later)
        if on_disk and by_import and later and not seen_by:
            early += 1
        lines.append("%s (%s) not stored: on disk %s, `tallyglass import` stores it %s, %s"
                     % (reply["id"], reply["kind"], yes(on_disk), yes(by_import), hooks))
    if sandbox.observe:
        lines.append("%d of %d missing: on disk and imported fine, but written only after every hook that reads "
                     "transcripts had run" % (early, len(missing)))
    return lines


def yes(flag):
    return "yes" if flag else "NO"


def verify(report, sandbox, watcher, name, replies, since, timeout, note=None, since_what="exit"):
    """One check: each reply stored exactly once, with the figures sent,
    within timeout seconds of since (a session's exit, a restart)."""
    watcher.wait_for([r["id"] for r in replies], since + timeout)
    missing, wrong = [], []
    for reply in replies:
        rows = sandbox.query("SELECT * FROM messages WHERE messageId = ?", (reply["id"],))
        if not rows:
            missing.append(reply)
        elif len(rows) > 1:
            wrong.append("%s stored %d times" % (reply["id"], len(rows)))
        elif mismatch(rows[0], reply):
            wrong.append("%s: %s" % (reply["id"], mismatch(rows[0], reply)))
    details = wrong + explain(sandbox, missing)
    if missing and note:
        details.append(note)
    good = len(replies) - len(missing) - len(wrong)
    reason = "%d/%d replies stored exactly once with the tokens sent" % (good, len(replies))
    seen = [watcher.first_seen(r["id"]) for r in replies]
    if seen and all(seen):
        reason += ", the last %+.0f ms after %s" % ((max(seen) - since) * 1000, since_what)
    if not replies:
        reason = "the stand-in logged no reply to compare with"
    return report.check(name, bool(replies) and good == len(replies), reason, details)


def of_tags(sandbox, *tags):
    """The replies of every session in which a prompt carried one of the tags,
    subagent turns included; Claude Code's side calls never reach a transcript."""
    replies = sandbox.replies()
    sessions = {r["session"] for r in replies if r.get("tag") in tags}
    return [r for r in replies if r["session"] in sessions and r["kind"] != "side"]


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    return predicate()
