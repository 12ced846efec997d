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
    case State::keyOrClose:
    case State::key:
    case State::colon:
    case State::afterValue:
        ++p;
        return isSpace(c) || takeStructural(c);
    case State::string:
        return continueString(p, end);
    case State::escape:
        ++p;
        return takeEscape(c);
    case State::unicode:
        ++p;
        return takeHexDigit(c);
    case State::lowSurrogateBackslash:
    case State::lowSurrogateU:
        ++p;
        return takeLowSurrogateStart(c);
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
        return takeLiteral(c);
    case State::failed:
        return false;
    }
    return false;
}

// Between values: what may come next depends only on the container and on
// what was just read.
bool JsonScanner::takeStructural(char c)
{
    switch (state_) {
    case State::value:
    case State::valueOrClose:
        if (state_ == State::valueOrClose && c == ']')
            return closeContainer(c);
        return startValue(c);
    case State::keyOrClose:
    case State::key:
        if (state_ == State::keyOrClose && c == '}')
            return closeContainer(c);
        if (c != '"')
            return false;
        beginString(true, stack_.back().node);
        return true;
    case State::colon:
        if (c != ':')
            return false;
        valueNode_ = stack_.back().keyNode;
        state_ = State::value;
        return true;
    case State::afterValue:
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
    default:
        return false;
    }
}

bool JsonScanner::takeLiteral(char c)
{
    if (c != literal_[literalAt_])
        return false;
    if (++literalAt_ < literal_.size())
        return true;
    if (JsonValue* target = numberTarget_)
        *target = literalValue_;
    if (stack_.empty())
        rootType_ = literalValue_.type;
    return endValue();
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
