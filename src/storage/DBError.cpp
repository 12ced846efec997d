#include "storage/DBError.h"

namespace tallyglass {

namespace {

std::string describe(DBError::Kind kind, const std::string& message)
{
    switch (kind) {
    case DBError::Kind::cannotOpen: return "DB open failed: " + message;
    case DBError::Kind::prepareFailed: return "DB prepare failed: " + message;
    case DBError::Kind::stepFailed: return "DB step failed: " + message;
    case DBError::Kind::dbMissing: return "DB file not found";
    }
    return "DB error";
}

} // namespace

DBError::DBError(Kind kind, std::string message, int code)
    : std::runtime_error(describe(kind, message))
    , kind_(kind)
    , message_(std::move(message))
    , code_(code)
{
}

} // namespace tallyglass
