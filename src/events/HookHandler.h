#pragma once

#include <string>

namespace tallyglass {

// Everything that consumes a posted payload. handle() runs on a worker thread
// of the server's handler pool, possibly beside other calls; it deals with its
// own failures and reports nothing back (the HTTP answer has already gone).
class HookHandler {
public:
    virtual ~HookHandler() = default;
    virtual void handle(const std::string& body) = 0;
};

} // namespace tallyglass
