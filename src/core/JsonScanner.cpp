#include "core/JsonScanner.h"

namespace tallyglass {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

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

JsonScanner::JsonScanner(const std::vector<Path>& paths, std::size_t captureLimit)
    : captureLimit_(captureLimit)
{
    nodes_.push_back({});
    for (std::size_t i = 0; i < paths.size(); ++i) {
        int node = 0;
        for (const std::string& key : paths[i]) {
            int child = -1;
            for (const int c : nodes_[static_cast<std::size_t>(node)].children) {
                if (nodes_[static_cast<std::size_t>(c)].key == key)
                    child = c;
            }
            if (child < 0) {
                child = static_cast<int>(nodes_.size());
                nodes_.push_back({key, -1, {}});
                nodes_[static_cast<std::size_t>(node)].children.push_back(child);
            }
            longestKey_ = std::max(longestKey_, key.size());
            node = child;
        }
        nodes_[static_cast<std::size_t>(node)].field = static_cast<int>(i);
    }
    values_.resize(paths.size());
    storage_.resize(paths.size());
    reset();
}

void JsonScanner::reset()
{
    state_ = State::value;
    rootType_ = JsonValue::Type::absent;
    rootSeen_ = false;
    stack_.clear();
    valueNode_ = 0;
    for (JsonValue& v : values_)
        v = {};
    for (std::string& s : storage_)
        s.clear();
}

bool JsonScanner::fail()
{
    state_ = State::failed;
    return false;
}

bool JsonScanner::feed(std::string_view bytes)
{
    if (state_ == State::failed)
        return false;
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    while (p < end) {
        if (!step(p, end))
            return fail();
    }
    return true;
}

bool JsonScanner::finish()
{
    if (state_ == State::number) {
        const bool terminal = numberPart_ == NumberPart::zero || numberPart_ == NumberPart::integer
            || numberPart_ == NumberPart::fraction || numberPart_ == NumberPart::exponent;
        if (!terminal || !endNumber())
            return fail();
    }
    if (state_ != State::afterValue || !stack_.empty() || !rootSeen_)
        return fail();
    return true;
}

JsonValue* JsonScanner::targetOf(int node)
{
    if (node < 0)
        return nullptr;
    const int field = nodes_[static_cast<std::size_t>(node)].field;
    return field < 0 ? nullptr : &values_[static_cast<std::size_t>(field)];
}

bool JsonScanner::step(const char*& p, const char* end)
{
    const char c = *p;
    switch (state_) {
    case State::value:
    case State::valueOrClose:
        ++p;
        if (isSpace(c))
            return true;
        if (state_ == State::valueOrClose && c == ']')
            return closeContainer(c);
        return startValue(c);
    case State::keyOrClose:
    case State::key:
        ++p;
        if (isSpace(c))
            return true;
        if (state_ == State::keyOrClose && c == '}')
            return closeContainer(c);
        if (c != '"')
            return false;
        beginString(true, stack_.back().node);
        return true;
    case State::colon:
        ++p;
        if (isSpace(c))
            return true;
        if (c != ':')
            return false;
        valueNode_ = stack_.back().keyNode;
        state_ = State::value;
        return true;
    case State::afterValue:
        ++p;
        if (isSpace(c))
            return true;
        if (stack_.empty())
            return false; // something follows the root value
        if (c == ',') {
            if (stack_.back().isObject) {
                state_ = State::key;
            } else {
                state_ = State::value;
                valueNode_ = -1;
            }
            return true;
        }
        if (c == '}' || c == ']')
            return closeContainer(c);
        return false;
    case State::string: {
        if (utf8Need_ == 0) {
            const char* run = p;
            while (p < end && isPlain(*p))
                ++p;
            if (p > run) {
                appendCaptured({run, static_cast<std::size_t>(p - run)});
                return true;
            }
        }
        const auto b = static_cast<unsigned char>(c);
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
    case State::escape: {
        ++p;
        char decoded;
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
    case State::unicode: {
        ++p;
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
    case State::lowSurrogateBackslash:
        ++p;
        if (c != '\\')
            return false;
        state_ = State::lowSurrogateU;
        return true;
    case State::lowSurrogateU:
        ++p;
        if (c != 'u')
            return false;
        state_ = State::unicode;
        hexCount_ = 0;
        hexValue_ = 0;
        inLowSurrogate_ = true;
        return true;
    case State::number: {
        bool consumed = true;
        if (!continueNumber(c, consumed))
            return false;
        if (consumed)
            ++p;
        return true;
    }
    case State::literal:
        ++p;
        if (c != literal_[literalAt_])
            return false;
        if (++literalAt_ < literal_.size())
            return true;
        if (JsonValue* target = numberTarget_)
            *target = literalValue_;
        if (stack_.empty())
            rootType_ = literalValue_.type;
        return endValue();
    case State::failed:
        return false;
    }
    return false;
}

bool JsonScanner::startValue(char c)
{
    JsonValue* target = targetOf(valueNode_);
    const bool atRoot = stack_.empty();
    switch (c) {
    case '{':
    case '[': {
        if (stack_.size() >= maxDepth)
            return false;
        const bool isObject = c == '{';
        const auto type = isObject ? JsonValue::Type::object : JsonValue::Type::array;
        if (target)
            target->type = type;
        if (atRoot)
            rootType_ = type;
        Level level;
        level.isObject = isObject;
        level.node = isObject && valueNode_ >= 0 && !nodes_[static_cast<std::size_t>(valueNode_)].children.empty()
            ? valueNode_
            : -1;
        stack_.push_back(std::move(level));
        state_ = isObject ? State::keyOrClose : State::valueOrClose;
        valueNode_ = -1;
        return true;
    }
    case '"':
        if (atRoot)
            rootType_ = JsonValue::Type::string;
        beginString(false, valueNode_);
        return true;
    case 't':
    case 'f':
    case 'n':
        literal_ = c == 't' ? "true" : c == 'f' ? "false" : "null";
        literalAt_ = 1;
        literalValue_ = {};
        literalValue_.type = c == 'n' ? JsonValue::Type::null : JsonValue::Type::boolean;
        literalValue_.boolean = c == 't';
        numberTarget_ = target;
        state_ = State::literal;
        return true;
    default:
        break;
    }
    if (c != '-' && !isDigit(c))
        return false;
    numberTarget_ = target;
    negative_ = c == '-';
    isInteger_ = true;
    digits_.clear();
    sticky_ = false;
    integerDigits_ = 0;
    fractionZeros_ = 0;
    exponent_ = 0;
    exponentNegative_ = false;
    integerText_.assign(1, c);
    state_ = State::number;
    if (c == '-') {
        numberPart_ = NumberPart::sign;
    } else if (c == '0') {
        numberPart_ = NumberPart::zero;
    } else {
        numberPart_ = NumberPart::integer;
        ++integerDigits_;
        digits_.push_back(c);
    }
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

bool JsonScanner::endValue()
{
    if (stack_.empty())
        rootSeen_ = true;
    state_ = State::afterValue;
    return true;
}

bool JsonScanner::closeContainer(char c)
{
    if (stack_.back().isObject != (c == '}'))
        return false;
    stack_.pop_back();
    return endValue();
}

} // namespace tallyglass
