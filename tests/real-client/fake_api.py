#!/usr/bin/env python3
"""A stand-in for the Anthropic Messages API, for running the real Claude Code
offline against Tallyglass.

Every reply carries usage figures chosen here, unique per reply, so that the
driver can tell whether Tallyglass stored each one exactly once with the
right numbers. Each reply is logged, before it leaves, as one JSON line to --log:

  {"id", "model", "kind", "usage", "session", "tag", "tool", "t", "stop_reason"[, "rate_limits"]}

kind is "main" for the conversation itself, "subagent" for a subagent's own
turns and "side" for helper calls without tools (titles, summaries), which
never reach a transcript. session is Claude Code's x-claude-code-session-id
header, the parent's for a subagent. Requests it does not know are logged to
--requests, so that calls a new Claude Code version adds show up.

What the prompt holds steers the reply: a TG-<word> tag is echoed back
("Fake reply to TG-a01.") so that the driver can find it on screen and tie
the reply to its session; DELEGATE makes the main agent call its subagent
tool; SLOW holds the reply back --slow-seconds. A request with a bearer
token (a subscriber's) gets the unified rate-limit headers.
"""
import argparse
import json
import re
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SUBAGENT_TOOLS = ("Agent", "Task")  # the name changed across Claude Code versions
DELEGATE = "DELEGATE"
SUBTASK = "SUBTASK"
SLOW = "SLOW"  # holds the reply back, so that a session is still running while Tallyglass stops
TAG = re.compile(r"\bTG-[A-Za-z0-9-]+")  # echoed back, so that the driver can see the reply on screen

lock = threading.Lock()
counters = {"message": 0, "other": 0}
args = None


def next_number(kind="other"):
    with lock:
        counters[kind] += 1
        return counters[kind]


def log(path, record):
    with lock, open(path, "a") as out:
        out.write(json.dumps(record, sort_keys=True) + "\n")


def text_of(content):
    if isinstance(content, str):
        return content
    parts = []
    for block in content or []:
        if block.get("type") == "text":
            parts.append(block.get("text", ""))
        elif block.get("type") == "tool_result":
            parts.append("<tool_result>" + text_of(block.get("content")))
    return "\n".join(parts)


def usage_for(n):
    # Distinct figures per reply, and two cache durations, so that a token
    # stored under the wrong column or the wrong message cannot match by luck.
    five_min, one_hour = 300 + n, 40 + n
    return {
        "input_tokens": 10 + n,
        "output_tokens": 20 + n,
        "cache_creation_input_tokens": five_min + one_hour,
        "cache_read_input_tokens": 5000 + n,
        "cache_creation": {"ephemeral_5m_input_tokens": five_min, "ephemeral_1h_input_tokens": one_hour},
        "service_tier": "standard",
    }


def classify(body):
    """Which kind of caller this is, and what to answer: a list of content blocks."""
    messages = body.get("messages") or []
    tools = [t.get("name") for t in body.get("tools") or []]
    first = text_of(messages[0].get("content")) if messages else ""
    last_text = text_of(messages[-1].get("content")) if messages else ""
    tag = TAG.search(last_text)
    echo = "Fake reply to %s." % tag.group(0) if tag else "Fake reply."
    subagent_tool = next((t for t in SUBAGENT_TOOLS if t in tools), None)

    if not tools:
        # Claude Code's helper calls carry no tools; any text will do for them.
        return "side", [{"type": "text", "text": "Fake title"}]
    if SUBTASK in first:
        return "subagent", [{"type": "text", "text": "Fake subagent reply."}]
    if "<tool_result>" in last_text:
        return "main", [{"type": "text", "text": "Fake reply to the tool result."}]
    if DELEGATE in last_text and subagent_tool:
        # A text block before the call, as models often write: Claude Code
        # then writes one transcript line per block, under one message id.
        return "main", [{"type": "text", "text": "Handing this to a helper."}, {
            "type": "tool_use", "id": "toolu_fake_%d" % next_number(), "name": subagent_tool,
            "input": {"description": "Fake subtask", "subagent_type": "general-purpose",
                      "prompt": SUBTASK + ": reply with one short sentence."},
        }]
    return "main", [{"type": "text", "text": echo}]


# Fixed for the stand-in's lifetime, so that every reply reports the same
# windows and the driver knows the one value Tallyglass may store.
STARTED = int(time.time())
LIMITS = {"five_hour": (0.423, STARTED + 3 * 3600 + 17), "seven_day": (0.075, STARTED + 5 * 86400 + 29)}


def rate_limit_headers():
    # Fractions of 1 and unix seconds, as Claude Code reads them; its status
    # line shows them as percentages rounded to one decimal.
    headers = {"anthropic-ratelimit-unified-status": "allowed",
               "anthropic-ratelimit-unified-reset": str(LIMITS["five_hour"][1]),
               "anthropic-ratelimit-unified-representative-claim": "five_hour"}
    for window, short in (("five_hour", "5h"), ("seven_day", "7d")):
        utilization, reset = LIMITS[window]
        headers["anthropic-ratelimit-unified-%s-utilization" % short] = str(utilization)
        headers["anthropic-ratelimit-unified-%s-reset" % short] = str(reset)
        headers["anthropic-ratelimit-unified-%s-status" % short] = "allowed"
    return headers, {w: {"utilization": u, "resets_at": r} for w, (u, r) in LIMITS.items()}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *_):
        pass  # the request log below says what matters

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        try:
            return json.loads(raw or b"{}")
        except ValueError:
            return {}

    def note_unknown(self, body):
        headers = {k.lower(): v for k, v in self.headers.items() if k.lower().startswith("anthropic")}
        log(args.requests, {"method": self.command, "path": self.path, "headers": headers,
                            "body": json.dumps(body)[:400]})

    def send_json(self, status, payload, extra=None):
        data = json.dumps(payload).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("request-id", "req_fake_%d" % next_number())
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path == "/health":  # the driver's, to know when the stand-in listens
            self.send_json(200, {"ok": True})
            return
        self.note_unknown({})
        self.send_json(404, {"type": "error", "error": {"type": "not_found_error", "message": "not here"}})

    def do_POST(self):
        body = self.read_body()
        path = self.path.split("?")[0]
        if path == "/v1/messages/count_tokens":
            # Rough but stable: Claude Code only uses it to show context size.
            self.send_json(200, {"input_tokens": len(json.dumps(body.get("messages", []))) // 4})
            return
        if path != "/v1/messages":
            self.note_unknown(body)
            self.send_json(404, {"type": "error", "error": {"type": "not_found_error", "message": "not here"}})
            return
        self.answer_messages(body)

    def answer_messages(self, body):
        n = next_number("message")
        last_text = text_of((body.get("messages") or [{}])[-1].get("content"))
        kind, content = classify(body)
        if SLOW in last_text:
            time.sleep(args.slow_seconds)
        model = body.get("model") or "claude-sonnet-4-6"
        usage = usage_for(n)
        message_id = "msg_fake_%s_%04d" % (args.tag, n)
        stop = "tool_use" if content[-1]["type"] == "tool_use" else "end_turn"
        extra = {}
        tag = TAG.search(last_text)
        record = {"id": message_id, "model": model, "kind": kind, "usage": usage, "stop_reason": stop,
                  "session": self.headers.get("x-claude-code-session-id"), "tag": tag.group(0) if tag else None,
                  "tool": content[-1].get("name"), "t": time.time()}
        if (self.headers.get("Authorization") or "").startswith("Bearer "):
            extra, limits = rate_limit_headers()
            record["rate_limits"] = limits
        # Logged before the reply leaves, so that the driver never sees a
        # stored message the log does not know of yet.
        log(args.log, record)
        message = {"id": message_id, "type": "message", "role": "assistant", "model": model,
                   "content": content, "stop_reason": stop, "stop_sequence": None, "usage": usage}
        if body.get("stream"):
            self.stream(message, extra)
        else:
            self.send_json(200, message, extra)

    def stream(self, message, extra):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.send_header("request-id", "req_fake_%d" % next_number())
        for k, v in extra.items():
            self.send_header(k, v)
        self.end_headers()
        usage = message["usage"]

        def event(name, payload):
            self.wfile.write(("event: %s\ndata: %s\n\n" % (name, json.dumps(payload))).encode())
            self.wfile.flush()

        start = dict(message, content=[], stop_reason=None, usage=dict(usage, output_tokens=1))
        event("message_start", {"type": "message_start", "message": start})
        for index, block in enumerate(message["content"]):
            if block["type"] == "text":
                event("content_block_start", {"type": "content_block_start", "index": index,
                                              "content_block": {"type": "text", "text": ""}})
                event("content_block_delta", {"type": "content_block_delta", "index": index,
                                              "delta": {"type": "text_delta", "text": block["text"]}})
            else:
                event("content_block_start", {"type": "content_block_start", "index": index,
                                              "content_block": dict(block, input={})})
                event("content_block_delta", {"type": "content_block_delta", "index": index,
                                              "delta": {"type": "input_json_delta",
                                                        "partial_json": json.dumps(block["input"])}})
            event("content_block_stop", {"type": "content_block_stop", "index": index})
        # The final usage repeats every figure, as the real API does, so that
        # a client that keeps either the first or the last one gets them right.
        event("message_delta", {"type": "message_delta",
                                "delta": {"stop_reason": message["stop_reason"], "stop_sequence": None},
                                "usage": usage})
        event("message_stop", {"type": "message_stop"})
        self.close_connection = True


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--requests", required=True)
    parser.add_argument("--tag", default="run")
    parser.add_argument("--slow-seconds", type=float, default=3.0)
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    print("fake api listening on %d" % args.port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
