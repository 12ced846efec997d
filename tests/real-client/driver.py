#!/usr/bin/env python3
"""Runs the real Claude Code against the Messages API stand-in with
Tallyglass's hook installed, and compares what Tallyglass stored with what the
stand-in sent. Meant to run inside tests/e2e/in-private-network.sh; see
scripts/test-real-client.

  driver.py <tallyglass> <claude> [--only abcdefg] [--keep] [--no-observer]
"""
import argparse
import datetime
import os
import statistics
import subprocess
import sys
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ left in the work tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import Report, hook_story, mismatch, of_tags, verify, wait_until  # noqa: E402
from harness import USER_STATUS, Sandbox, Watcher  # noqa: E402

# How long after a session ends its replies may take to be stored.
STORE_TIMEOUT = float(os.environ.get("TALLYGLASS_STORE_TIMEOUT", "10"))
ONE_SHOTS = 20
PROJECTS = ("one-shot", "continue", "interactive", "subscriber", "subagent", "restart-1", "restart-2", "restart-3",
            "telemetry")
# Where the second Tallyglass of (g) takes exports from other machines.
TELEMETRY_OUTER = "127.0.0.1:4318"


def ran(report, name, results, tags):
    """That Claude Code itself did its part, so that a failure further on is
    Tallyglass's and not the harness's."""
    bad = ["%s: exit %s, output %r" % (tag, rc, out[-300:]) for (rc, _, out), tag in zip(results, tags)
           if rc != 0 or ("Fake reply to %s." % tag) not in out]
    return report.check(name, not bad, "%d/%d sessions exited 0 with the stand-in's reply" %
                        (len(results) - len(bad), len(results)), bad)


def one_shots(sb, watcher, report):
    tags = ["TG-a%02d" % i for i in range(1, ONE_SHOTS + 1)]
    results = [sb.run_claude("one-shot", "Answer in one line, %s" % tag) for tag in tags]
    ran(report, "(a) one-shot sessions ran", results, tags)
    replies = of_tags(sb, *tags)
    verify(report, sb, watcher, "(a) one-shot replies stored", replies, results[-1][1], STORE_TIMEOUT,
           since_what="the last exit")
    # Negative when the reply was stored before the process had exited.
    latencies, unstored = [], 0
    for (_, exited, _), tag in zip(results, tags):
        seen = [watcher.first_seen(r["id"]) for r in of_tags(sb, tag)]
        if seen and all(seen):
            latencies.append(max(seen) - exited)
        else:
            unstored += 1
    if latencies:
        report.figure("(a) exit to stored: median %+.0f ms, worst %+.0f ms over %d sessions (negative: stored before "
                      "exit); %d not stored within %.0f s" % (statistics.median(latencies) * 1000,
                                                              max(latencies) * 1000, len(latencies), unstored,
                                                              STORE_TIMEOUT))
    else:
        report.figure("(a) exit to stored: none of %d sessions stored within %.0f s" % (unstored, STORE_TIMEOUT))
    first = of_tags(sb, tags[0])
    if first:
        story = hook_story(sb.events(), first[0]["session"], [r["id"] for r in first])
        report.figure("(a) hook order, one-shot: " + story)


def continued(sb, watcher, report):
    tags = ["TG-b1", "TG-b2", "TG-b3"]
    results = [sb.run_claude("continue", "Turn %d of three, %s" % (n + 1, tag), *(["--continue"] if n else []))
               for n, tag in enumerate(tags)]
    ran(report, "(b) three turns with --continue ran", results, tags)
    replies = of_tags(sb, *tags)
    sessions = sorted({r["session"] for r in replies})
    report.figure("(b) --continue wrote the three turns under %d session id(s)" % len(sessions))
    verify(report, sb, watcher, "(b) continued turns stored", replies, results[-1][1], STORE_TIMEOUT,
           since_what="the last exit")


def interactive(sb, watcher, report, subscriber):
    label, tag = ("(d)", "TG-d1") if subscriber else ("(c)", "TG-c1")
    term = sb.terminal("subscriber" if subscriber else "interactive", subscriber)
    try:
        status_shown = term.wait_for(USER_STATUS, 40)
        mark = term.mark()
        term.type_line("Say hello, %s" % tag)
        replied = term.wait_for("Fake reply to %s." % tag, 40, mark)
        session = wait_until(lambda: next((r["session"] for r in sb.replies() if r.get("tag") == tag), None), 5)
        # The status line runs again once the reply is in; its payload is
        # the one that carries the reply's usage and the rate limits.
        after_reply = wait_until(lambda: [s for s in sb.status_lines() if s.get("session_id") == session
                                          and (s.get("context_window") or {}).get("current_usage")], 15)
        term.type_line("/exit")
        code = term.wait_exit(30)
        exited = time.time()
        screen = term.text()
    finally:
        term.close()
    command = sb.settings().get("statusLine", {}).get("command", "")
    report.check(label + " the user's own status line shows through the chained hook", status_shown,
                 "%r %s on Claude Code's screen; statusLine command is %r"
                 % (USER_STATUS, "shown" if status_shown else "NOT shown", command),
                 [] if status_shown else ["screen ends: %r" % screen[-600:]])
    report.check(label + " the user's status command gets Claude Code's status JSON", bool(after_reply),
                 "%d status payload(s) for the session after the reply" % len(after_reply or []))
    report.check(label + " interactive session replied and ended on /exit", replied and code == 0,
                 "reply %s on screen, exit status %s" % ("shown" if replied else "NOT shown", code),
                 [] if replied else ["screen ends: %r" % screen[-600:]])
    if subscriber:
        limits(sb, report, after_reply or [])
    elif after_reply:
        report.figure("(c) status-line JSON keys: %s" % ", ".join(sorted(after_reply[-1])))
    verify(report, sb, watcher, label + " interactive reply stored", of_tags(sb, tag), exited, STORE_TIMEOUT)
    ended = wait_until(lambda: sb.query("SELECT * FROM sessions WHERE sessionId = ? AND isActive = 0 AND endedAt "
                                        "IS NOT NULL", (session,)), 5)
    report.check(label + " session marked ended", bool(ended), "sessions row of %s %s" %
                 (session, "is ended" if ended else "is missing or still active"))
    story = hook_story(sb.events(), session, [r["id"] for r in of_tags(sb, tag)])
    report.figure("%s hook order, interactive%s: %s" % (label, " subscriber" if subscriber else "", story))


def iso(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def limits(sb, report, status_payloads):
    sent = next((r["rate_limits"] for r in reversed(sb.replies()) if r.get("rate_limits")), None)
    if not sent:
        report.check("(d) stand-in sent rate limits", False, "no reply carried them")
        return
    # Claude Code turns the fraction into a percentage with one decimal.
    shown = {w: {"used_percentage": round(v["utilization"] * 1000) / 10, "resets_at": v["resets_at"]}
             for w, v in sent.items()}
    got = (status_payloads[-1].get("rate_limits") if status_payloads else None)
    report.check("(d) Claude Code hands the stand-in's limits to the status line", got == shown,
                 "status JSON rate_limits %r, sent %r" % (got, sent))
    want = {"five_hour_utilization": sent["five_hour"]["utilization"] * 100,
            "five_hour_resets_at": iso(sent["five_hour"]["resets_at"]),
            "seven_day_utilization": sent["seven_day"]["utilization"] * 100,
            "seven_day_resets_at": iso(sent["seven_day"]["resets_at"])}

    def stored():
        rows = sb.query("SELECT * FROM usage_limits WHERE id = 1")
        row = rows[0] if rows else {}
        same = all(abs((row.get(k) or -1) - v) < 1e-6 if isinstance(v, float) else row.get(k) == v
                   for k, v in want.items())
        return (same, {k: row.get(k) for k in want})
    wait_until(lambda: stored()[0], 5)
    same, row = stored()
    report.check("(d) usage_limits equals what the stand-in sent", same, "stored %r, expected %r" % (row, want))


def subagent(sb, watcher, report):
    result = sb.run_claude("subagent", "DELEGATE this to a helper, TG-e1")
    replies = of_tags(sb, "TG-e1")
    tool = next((r["tool"] for r in replies if r.get("tool")), None)
    helpers = [r for r in replies if r["kind"] == "subagent"]
    stops = [e["payload"] for e in sb.events() if e["payload"].get("hook_event_name") == "SubagentStop"
             and replies and e["payload"].get("session_id") == replies[0]["session"]]
    report.check("(e) Claude Code handed work to a subagent", result[0] == 0 and tool and helpers,
                 "exit %s, tool %r, %d subagent repl(ies), %d main" % (result[0], tool, len(helpers),
                                                                        len(replies) - len(helpers)),
                 ["agent transcript: %s" % s.get("agent_transcript_path") for s in stops])
    verify(report, sb, watcher, "(e) main and subagent replies stored under the parent session", replies,
           result[1], STORE_TIMEOUT)
    if replies:
        report.figure("(e) subagent tool %r; hook order: %s" % (tool, hook_story(sb.events(), replies[0]["session"],
                                                                                 [r["id"] for r in replies])))


def restart(sb, watcher, report):
    running = [sb.start_claude("restart-%d" % n, "SLOW answer, TG-f%d" % n) for n in (1, 2)]
    # Claude Code writes the prompt to the transcript before it asks the API,
    # whose reply then takes --slow-seconds: stopping now stops mid-session.
    submitted = wait_until(lambda: sb.on_disk("TG-f1") and sb.on_disk("TG-f2"), 60)
    code = sb.stop_tallyglass()
    report.check("(f) tallyglass --headless exits 0 on SIGTERM while sessions run", code == 0 and submitted,
                 "exit status %s, %s" % (code, "both sessions had sent their prompt" if submitted
                                         else "the sessions had not started"))
    results = []
    for process, tag in zip(running, ("TG-f1", "TG-f2")):
        try:
            out, _ = process.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            process.kill()
            out, _ = process.communicate()
        results.append((process.returncode, time.time(), out))
    results.append(sb.run_claude("restart-3", "Answer while Tallyglass is stopped, TG-f3"))
    ran(report, "(f) sessions ran while Tallyglass was stopped", results, ["TG-f1", "TG-f2", "TG-f3"])
    replies = of_tags(sb, "TG-f1", "TG-f2", "TG-f3")
    early = [r["id"] for r in replies if watcher.first_seen(r["id"])]
    started = time.time()
    up = sb.start_tallyglass()
    report.check("(f) tallyglass --headless starts again", up and not early, "server %s; %d repl(ies) stored "
                 "before the restart" % ("answers" if up else "does NOT answer", len(early)))
    verify(report, sb, watcher, "(f) replies written while stopped stored after the restart", replies,
           started, STORE_TIMEOUT, since_what="the restart",
           note="these were written while Tallyglass was stopped: only a catch-up at start-up stores them")


TELEMETRY_HOSTS = ("build-box", "devcontainer")


def telemetry(sb, watcher, report):
    """Claude Code's own OpenTelemetry logs, from two machines as Tallyglass
    sees them: one session exporting to the loopback server, one through the
    listener for other machines with its token. They go to a second
    Tallyglass of their own (its own home, no hook, no transcripts), since on
    the first one the transcript of the same session wins over telemetry and
    nothing would be left to compare."""
    receiver = sb.start_receiver(TELEMETRY_OUTER)
    token = receiver["token"]
    report.check("(g) a second tallyglass --headless --otlp-listen is up with a token", bool(receiver["port"] and token),
                 "loopback port %s, listener for other machines %s, token %s" %
                 (receiver["port"], TELEMETRY_OUTER, "made" if token else "NOT made"), receiver["log"][-5:])
    if not (receiver["port"] and token):
        return
    # As a devcontainer's documentation would have it set; the third session
    # hands work to a subagent, whose calls are events of the parent session.
    bearer = "Authorization=Bearer%20" + token
    ways = (("TG-g1", "http://127.0.0.1:%d" % receiver["port"], TELEMETRY_HOSTS[0], None),
            ("TG-g2", "http://%s" % TELEMETRY_OUTER, TELEMETRY_HOSTS[1], bearer),
            ("TG-g3", "http://%s" % TELEMETRY_OUTER, TELEMETRY_HOSTS[1], bearer))
    prompts = {"TG-g3": "DELEGATE this to a helper, TG-g3"}
    results = [sb.run_claude("telemetry", prompts.get(tag, "Answer with telemetry on, %s" % tag),
                             env=sb.telemetry_env(endpoint, host, headers)) for tag, endpoint, host, headers in ways]
    # The delegating session answers with the tool's result, not its tag; its replies are checked below.
    ran(report, "(g) sessions exporting their telemetry ran", results[:2], [w[0] for w in ways[:2]])
    for (tag, endpoint, host, _), (_, exited, _) in zip(ways, results):
        # Every call Claude Code made in the session is an api_request event, side calls included.
        session = next((r["session"] for r in sb.replies() if r.get("tag") == tag), None)
        sent = [r for r in sb.replies() if session and r["session"] == session]
        rows = wait_until(lambda: len(sb.telemetry_rows(session)) >= len(sent) and sb.telemetry_rows(session),
                          STORE_TIMEOUT) or []
        wrong = telemetry_mismatches(sent, rows, host)
        report.check("(g) %s via %s: every reply stored once from telemetry under %s" % (tag, endpoint, host),
                     bool(sent) and not wrong, "%d repl(ies) sent (%s), %d row(s) stored, %.1f s after the exit" %
                     (len(sent), ", ".join(sorted({r["kind"] for r in sent})), len(rows), time.time() - exited), wrong)
    stray = [r["messageId"] for r in sb.query("SELECT messageId, sessionId FROM messages", db=receiver["db"])
             if r["sessionId"] not in {x["session"] for x in sb.replies()}]
    report.check("(g) nothing else stored from telemetry", not stray, "%d stray row(s)" % len(stray), stray[:10])


def telemetry_mismatches(sent, rows, host):
    """What differs between the stand-in's replies and the rows telemetry
    stored: each reply must match exactly one row by its counts, which are
    unique per reply. Telemetry does not tell the one-hour cache writes apart."""
    wrong, used = [], set()
    for reply in sent:
        usage = reply["usage"]
        want = (reply["model"], usage["input_tokens"], usage["output_tokens"], usage["cache_creation_input_tokens"],
                usage["cache_read_input_tokens"], host, 1)
        found = [r["messageId"] for r in rows if (r["model"], r["inputTokens"], r["outputTokens"],
                                                  r["cacheCreationInputTokens"], r["cacheReadInputTokens"],
                                                  r["machine"], r["fromTelemetry"]) == want]
        if len(found) != 1:
            wrong.append("%s (%s) %r: %d matching row(s)" % (reply["id"], reply["kind"], want, len(found)))
        used.update(found)
    wrong += ["%s: no reply has its counts" % r["messageId"] for r in rows if r["messageId"] not in used]
    return wrong


def overall(sb, report, expected):
    sent = {r["id"] for r in sb.replies()}
    stray = [row["messageId"] for row in sb.query("SELECT messageId FROM messages") if row["messageId"] not in sent]
    report.check("(all) nothing stored that the stand-in did not send", not stray, "%d stray row(s)" % len(stray),
                 stray[:10])
    unknown = sb.unknown_requests()
    report.check("(all) the stand-in knew every request Claude Code made", not unknown,
                 "%d unknown request(s)" % len(unknown), ["%s %s" % (u["method"], u["path"]) for u in unknown[:10]])
    imported = sb.import_copy()
    wrong = [r["id"] + (": not stored" if r["id"] not in imported else ": " + str(mismatch(imported[r["id"]], r)))
             for r in expected if r["id"] not in imported or mismatch(imported[r["id"]], r)]
    report.check("(all) `tallyglass import` of the same transcripts stores every reply exactly", not wrong,
                 "%d/%d replies" % (len(expected) - len(wrong), len(expected)), wrong[:10])
    kinds = {}
    for r in sb.replies():
        kinds[r["kind"]] = kinds.get(r["kind"], 0) + 1
    report.figure("stand-in replies by kind: %s" % ", ".join("%s %d" % kv for kv in sorted(kinds.items())))
    report.figure("subagent transcripts: %s" % ", ".join(sorted(
        os.path.relpath(os.path.join(d, f), sb.projects) for d, _, fs in os.walk(sb.projects) for f in fs
        if "subagents" in d and f.endswith(".jsonl"))))


SCENARIOS = {"a": one_shots, "b": continued, "c": lambda *a: interactive(*a, subscriber=False),
             "d": lambda *a: interactive(*a, subscriber=True), "e": subagent, "f": restart, "g": telemetry}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tallyglass")
    parser.add_argument("claude")
    parser.add_argument("--only", default="abcdefg", help="scenario letters to run")
    parser.add_argument("--keep", action="store_true", help="keep the work folder even when all pass")
    parser.add_argument("--no-observer", action="store_true",
                        help="leave out the hooks that note when each event ran, to rule out that they shift timing")
    args = parser.parse_args()
    report = Report()
    sb = Sandbox(os.path.abspath(args.tallyglass), os.path.abspath(args.claude), observe=not args.no_observer)
    version = subprocess.run([sb.claude, "--version"], capture_output=True, text=True).stdout.strip()
    print("claude %s, tallyglass %s, work folder %s" % (version, sb.tallyglass, sb.work), flush=True)
    watcher = Watcher(sb)
    try:
        code, output = sb.prepare(PROJECTS)
        report.check("(setup) tallyglass hook install", code == 0, output.strip())
        report.check("(setup) stand-in and tallyglass --headless up", sb.start_api() and sb.start_tallyglass(),
                     "both answer on 127.0.0.1")
        watcher.start()
        for letter in args.only:
            try:
                SCENARIOS[letter](sb, watcher, report)
            except Exception:  # one broken scenario should not hide what the others find
                lines = traceback.format_exc().strip().splitlines()
                report.check("(%s) scenario ran to its end" % letter, False, lines[-1], lines[-6:-1])
        overall(sb, report, [r for r in sb.replies() if r["kind"] != "side"])
    finally:
        watcher.running = False
        keep = args.keep or report.failed > 0
        sb.close(keep)
    print("--- figures")
    for line in report.figures:
        print(line)
    if keep:
        print("work folder kept: %s" % sb.work)
    print("%d passed, %d failed" % (report.passed, report.failed))
    return 0 if report.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
