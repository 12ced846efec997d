#include "storage/WriteError.h"

namespace tallyglass {

namespace {

const char* caseName(WriteError::Kind kind)
{
    switch (kind) {
    case WriteError::Kind::cannotOpen: return "cannotOpen";
    case WriteError::Kind::prepareFailed: return "prepareFailed";
    case WriteError::Kind::stepFailed: return "stepFailed";
    case WriteError::Kind::executeFailed: return "executeFailed";
    }
    return "unknown";
}

std::string render(WriteError::Kind kind, const std::string& message)
{
    std::string text = caseName(kind);
    text += "(\"";
    for (const char c : message) {
        if (c == '"' || c == '\\')
            text += '\\';
        text += c;
    }
    text += "\")";
    return text;
}

} // namespace

WriteError::WriteError(Kind kind, std::string message, int code)
    : std::runtime_error(render(kind, message))
    , kind_(kind)
    , message_(std::move(message))
    , code_(code)
{
}

} // namespace tallyglass
