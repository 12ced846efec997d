#pragma once

#include "storage/OutgoingMessage.h"

#include <span>
#include <string>
#include <string_view>

namespace tallyglass::SentMessages {

// The body (and event.name) of the log records one instance sends another.
// Not "api_request": those are Claude Code's own, keyed by session and
// sequence, and a collector or our own intake must never take these for them.
inline constexpr std::string_view recordName = "tallyglass.message";

using Outgoing = OutgoingMessage;

// An OTLP/HTTP JSON logs export of the messages, in their order, under one
// resource naming the machine (host.name) and the sender (service.name
// tallyglass). Text that is no UTF-8 (a folder's name can be any bytes) is
// sent with U+FFFD in place of what cannot be read, since a receiver refuses
// a whole export whose JSON is not UTF-8.
std::string exportJson(std::span<const Outgoing> messages, std::string_view machine);

} // namespace tallyglass::SentMessages
