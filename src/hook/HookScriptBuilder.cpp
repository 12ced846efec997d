#include "hook/HookScriptBuilder.h"

namespace tallyglass::HookScriptBuilder {

namespace {

constexpr std::string_view head = "#!/bin/bash\n"
                                  "# tallyglass hook sender \u2014 version: ";

constexpr std::string_view middle =
    "\n"
    "# Modes:\n"
    "#   app-hook                     POST stdin JSON to /event (no stdout)\n"
    "#   app-hook --tee               Copy stdin to stdout exactly; POST it to /event in the background\n"
    "#   app-hook -- cmd [args...]    Tee stdin to /event AND pipe to cmd; forward cmd stdout + exit\n"
    "PORT=";

constexpr std::string_view tail =
    "\n"
    "\n"
    "# Talk only to a server of this user: while the application is not running,\n"
    "# another user of the machine could listen on the port and read every event.\n"
    "# grep keeps a machine with thousands of sockets from costing every event that much.\n"
    "ours() {\n"
    "  local port line found=0 lines\n"
    "  printf -v port '%04X' \"$PORT\"\n"
    "  mapfile -t lines < <(grep -h \":$port \" /proc/net/tcp /proc/net/tcp6 2>/dev/null)\n"
    "  for line in \"${lines[@]}\"; do\n"
    "    set -- $line\n"
    "    [ \"$4\" = 0A ] && [ \"${2##*:}\" = \"$port\" ] || continue\n"
    "    [ \"$8\" = \"$EUID\" ] || return 1\n"
    "    found=1\n"
    "  done\n"
    "  [ $found = 1 ]\n"
    "}\n"
    "\n"
    "# The status line: the user's own shell runs their command behind this pipe, so\n"
    "# any syntax of theirs works. The x keeps the payload's trailing newlines; the\n"
    "# post holds none of the pipe's ends, so the status line shows without waiting.\n"
    "if [ \"$1\" = --tee ]; then\n"
    "  payload=$(cat; printf x)\n"
    "  payload=${payload%x}\n"
    "  ( ours && printf '%s' \"$payload\" | curl -s --noproxy '*' -X POST -H \"Content-Type: application/json\" \\\n"
    "      --data-binary @- \"http://127.0.0.1:$PORT/event\" \\\n"
    "      --connect-timeout 0.3 --max-time 1 ) </dev/null >/dev/null 2>&1 &\n"
    "  # A command that does not read its input closes the pipe early: that is no error of the user's.\n"
    "  printf '%s' \"$payload\" 2>/dev/null\n"
    "  exit 0\n"
    "fi\n"
    "\n"
    "sep=-1\n"
    "i=0\n"
    "for a in \"$@\"; do\n"
    "  if [ \"$a\" = \"--\" ]; then sep=$i; break; fi\n"
    "  i=$((i+1))\n"
    "done\n"
    "\n"
    "if [ $sep -ge 0 ]; then\n"
    "  shift $((sep+1))\n"
    "  if [ $# -gt 0 ]; then\n"
    "    payload=$(cat)\n"
    "    # Detached from Claude Code's pipe: the status line shows without waiting for the post.\n"
    "    ( ours && printf '%s' \"$payload\" | curl -s --noproxy '*' -X POST -H \"Content-Type: application/json\" \\\n"
    "        --data-binary @- \"http://127.0.0.1:$PORT/event\" \\\n"
    "        --connect-timeout 0.3 --max-time 1 ) >/dev/null 2>&1 &\n"
    "    printf '%s' \"$payload\" | \"$@\"\n"
    "    exit $?\n"
    "  fi\n"
    "fi\n"
    "\n"
    "# Nothing the server answers reaches Claude Code, which reads a hook's output;\n"
    "# and no proxy of the environment sees the events. Claude Code waits for the\n"
    "# hook: the whole exchange is bounded, even with a server that accepts and\n"
    "# never answers (the event is sent by then, and read when the server can).\n"
    "ours || exit 0\n"
    "curl -s --noproxy '*' -X POST -H \"Content-Type: application/json\" --data-binary @- \\\n"
    "  \"http://127.0.0.1:$PORT/event\" --connect-timeout 0.3 --max-time 0.3 >/dev/null 2>&1\n"
    "exit 0\n";

} // namespace

std::string render(std::uint16_t port, int version)
{
    std::string text;
    text.reserve(head.size() + middle.size() + tail.size() + 16);
    text.append(head);
    text.append(std::to_string(version));
    text.append(middle);
    text.append(std::to_string(port));
    text.append(tail);
    return text;
}

bool isUpToDate(std::string_view text, std::uint16_t port, int version)
{
    if (text.find("version: " + std::to_string(version)) == std::string_view::npos)
        return false;
    return text.find("PORT=" + std::to_string(port)) != std::string_view::npos;
}

} // namespace tallyglass::HookScriptBuilder
