#pragma once

#include <filesystem>
#include <string>

namespace tallyglass::OtlpToken {

// The secret a request to the listener for other machines must carry as
// "Authorization: Bearer <token>": the text of one file
// (~/.config/tallyglass/otlp-token), made the first time that listener opens
// from 32 random bytes written as 64 hex digits, readable by its owner alone.
// The user may put a token of their own there (a Collector's, say): any text
// of at least 32 characters from the letters, digits and "-._~+/=", surrounded
// by white space or not.
//
// A file other users can read, or one owned by someone else, is refused rather
// than repaired: whoever could read it may already hold the token, so tightening
// its mode afterwards would not make it secret again. The user decides: chmod
// it, or delete it for a new one.
struct Loaded {
    std::string token;   // empty when it cannot be used
    std::string problem; // one sentence naming the file (as `shown`), when it cannot
    bool created = false;
};

Loaded ensure(const std::filesystem::path& path, const std::string& shown);

// What the file may hold: the characters of an HTTP bearer token, long enough to resist guessing.
bool isUsableToken(const std::string& token);

} // namespace tallyglass::OtlpToken
