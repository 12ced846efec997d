#include "core/JsonScanner.h"

#include <algorithm>

// Reading strings: UTF-8 checked byte by byte, escapes decoded, surrogate pairs
// joined, and only the keys on a path and the values at one kept, up to the
// capture limit.
namespace tallyglass {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// String bytes that need no closer look: not a quote, backslash, control
// character or the start of a multi-byte sequence.
bool isPlain(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x20 && b < 0x80 && b != '"' && b != '\\';
}

} // namespace

// Runs of plain bytes are taken in one go: they are most of any transcript.
bool JsonScanner::continueString(const char*& p, const char* end)
{
    if (utf8Need_ == 0) {
        const char* run = p;
        while (p < end && isPlain(*p))
            ++p;
        if (p > run) {
            appendCaptured({run, static_cast<std::size_t>(p - run)});
            return true;
        }
    }
    const auto b = static_cast<unsigned char>(*p);
    if (utf8Need_ == 0) {
        if (b == '"') {
            ++p;
            return endString();
        }
        if (b == '\\') {
            ++p;
            state_ = State::escape;
            return true;
        }
        if (b < 0x20)
            return false;
    }
    if (!takeUtf8(b))
        return false;
    appendCaptured({p, 1});
    ++p;
    return true;
}

bool JsonScanner::takeEscape(char c)
{
    char decoded = 0;
    switch (c) {
    case '"': decoded = '"'; break;
    case '\\': decoded = '\\'; break;
    case '/': decoded = '/'; break;
    case 'b': decoded = '\b'; break;
    case 'f': decoded = '\f'; break;
    case 'n': decoded = '\n'; break;
    case 'r': decoded = '\r'; break;
    case 't': decoded = '\t'; break;
    case 'u':
        state_ = State::unicode;
        hexCount_ = 0;
        hexValue_ = 0;
        inLowSurrogate_ = false;
        return true;
    default: return false;
    }
    appendCaptured({&decoded, 1});
    state_ = State::string;
    return true;
}

// One hex digit of \uXXXX; the fourth decides whether a low surrogate must follow.
bool JsonScanner::takeHexDigit(char c)
{
    const int digit = hexDigit(c);
    if (digit < 0)
        return false;
    hexValue_ = (hexValue_ << 4) | static_cast<std::uint32_t>(digit);
    if (++hexCount_ < 4)
        return true;
    if (inLowSurrogate_) {
        if (hexValue_ < 0xDC00 || hexValue_ > 0xDFFF)
            return false; // a high surrogate must be followed by a low one
        state_ = State::string;
        return appendCodePoint((((highSurrogate_ - 0xD800u) << 10) | (hexValue_ - 0xDC00u)) + 0x10000u);
    }
    if (hexValue_ >= 0xD800 && hexValue_ < 0xDC00) {
        highSurrogate_ = hexValue_;
        state_ = State::lowSurrogateBackslash;
        return true;
    }
    if (hexValue_ >= 0xDC00 && hexValue_ <= 0xDFFF)
        return false; // a low surrogate on its own
    state_ = State::string;
    return appendCodePoint(hexValue_);
}

// The "\u" that must follow a high surrogate.
bool JsonScanner::takeLowSurrogateStart(char c)
{
    if (state_ == State::lowSurrogateBackslash) {
        if (c != '\\')
            return false;
        state_ = State::lowSurrogateU;
        return true;
    }
    if (c != 'u')
        return false;
    state_ = State::unicode;
    hexCount_ = 0;
    hexValue_ = 0;
    inLowSurrogate_ = true;
    return true;
}

void JsonScanner::beginString(bool isKey, int node)
{
    state_ = State::string;
    utf8Need_ = 0;
    stringIsKey_ = isKey;
    if (isKey) {
        key_.clear();
        keyTooLong_ = node < 0; // off every path: the key cannot matter
        return;
    }
    stringTarget_ = targetOf(node);
    if (stringTarget_) {
        stringTarget_->type = JsonValue::Type::string;
        stringText_ = &storage_[static_cast<std::size_t>(nodes_[static_cast<std::size_t>(node)].field)];
        stringText_->clear();
    }
}

void JsonScanner::appendCaptured(std::string_view bytes)
{
    if (stringIsKey_) {
        if (keyTooLong_)
            return;
        if (key_.size() + bytes.size() > longestKey_)
            keyTooLong_ = true;
        else
            key_.append(bytes);
        return;
    }
    if (!stringTarget_)
        return;
    const std::size_t room = captureLimit_ - std::min(captureLimit_, stringText_->size());
    if (bytes.size() > room)
        stringTarget_->truncated = true;
    stringText_->append(bytes.substr(0, std::min(room, bytes.size())));
}

bool JsonScanner::appendCodePoint(std::uint32_t cp)
{
    char out[4];
    std::size_t n = 0;
    if (cp <= 0x7F) {
        out[n++] = static_cast<char>(cp);
    } else if (cp <= 0x7FF) {
        out[n++] = static_cast<char>(0xC0 | (cp >> 6));
        out[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp <= 0xFFFF) {
        out[n++] = static_cast<char>(0xE0 | (cp >> 12));
        out[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp <= 0x10FFFF) {
        out[n++] = static_cast<char>(0xF0 | (cp >> 18));
        out[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        return false;
    }
    appendCaptured({out, n});
    return true;
}

bool JsonScanner::takeUtf8(unsigned char b)
{
    if (utf8Need_ > 0) {
        if (b < utf8Low_ || b > utf8High_)
            return false;
        --utf8Need_;
        utf8Low_ = 0x80;
        utf8High_ = 0xBF;
        return true;
    }
    utf8Low_ = 0x80;
    utf8High_ = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        utf8Need_ = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        utf8Need_ = 2;
        if (b == 0xE0)
            utf8Low_ = 0xA0; // no overlong forms
        else if (b == 0xED)
            utf8High_ = 0x9F; // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        utf8Need_ = 3;
        if (b == 0xF0)
            utf8Low_ = 0x90;
        else if (b == 0xF4)
            utf8High_ = 0x8F; // nothing above U+10FFFF
    } else {
        return false;
    }
    return true;
}

bool JsonScanner::endString()
{
    if (stringIsKey_) {
        Level& level = stack_.back();
        level.keyNode = -1;
        if (level.node >= 0 && !keyTooLong_) {
            for (const int child : nodes_[static_cast<std::size_t>(level.node)].children) {
                if (nodes_[static_cast<std::size_t>(child)].key != key_)
                    continue;
                bool repeated = false;
                for (const int s : level.seen)
                    repeated = repeated || s == child;
                if (!repeated) {
                    level.keyNode = child;
                    level.seen.push_back(child);
                }
                break;
            }
        }
        state_ = State::colon;
        return true;
    }
    if (stringTarget_)
        stringTarget_->text = *stringText_;
    stringTarget_ = nullptr;
    return endValue();
}

} // namespace tallyglass
