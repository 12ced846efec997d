#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tallyglass {

// One value found at a path that a reader asked for. Both the in-memory JSON
// parser and JsonScanner describe what they found this way, so the rules that
// turn fields into records are written once for both.
struct JsonValue {
    enum class Type : std::uint8_t { absent, null, boolean, int64, uint64, floating, string, object, array };

    Type type = Type::absent;
    bool boolean = false;
    std::int64_t int64 = 0;
    std::uint64_t uint64 = 0;
    double floating = 0;
    std::string_view text;  // strings: the decoded text, at most the capture limit
    bool truncated = false; // strings: longer than the capture limit; `text` holds its start
};

// Validates one JSON document fed in pieces of any size, and keeps only the
// values at the paths it was asked for (keys from the root object down), so
// memory stays bounded whatever the size of the document: a 2 GB transcript
// line or a 60 MiB hook payload costs a few kilobytes.
//
// It accepts exactly what the in-memory parser accepts (RFC 8259 JSON, UTF-8
// checked everywhere, nesting up to 1024 levels), reads a repeated key's
// first occurrence as that parser does, and reads integers outside 64 bits as
// floating-point numbers. A test compares the two on generated documents.
class JsonScanner {
public:
    using Path = std::vector<std::string>;

    static constexpr std::size_t maxDepth = 1024;

    // Strings at the paths keep at most `captureLimit` bytes (then `truncated`).
    JsonScanner(const std::vector<Path>& paths, std::size_t captureLimit);

    void reset();
    // False as soon as the input can no longer be well-formed; later input is ignored.
    bool feed(std::string_view bytes);
    // True when everything fed was exactly one well-formed value (white space around it allowed).
    bool finish();

    // The value at paths[index]; meaningful after finish() returned true.
    const JsonValue& value(std::size_t index) const { return values_[index]; }
    JsonValue::Type rootType() const { return rootType_; }

private:
    enum class State : std::uint8_t {
        value,        // a value must start here
        valueOrClose, // after '[': a value or ']'
        keyOrClose,   // after '{': a key or '}'
        key,          // after ',' in an object
        colon,
        afterValue,   // ',' or the container's close, or the end at the root
        string,
        escape,
        unicode,      // inside \uXXXX
        lowSurrogateBackslash,
        lowSurrogateU,
        number,
        literal,
        failed,
    };
    enum class NumberPart : std::uint8_t { sign, zero, integer, fractionStart, fraction, exponentStart, exponentSign, exponent };

    struct Node {
        std::string key;
        int field = -1;
        std::vector<int> children;
    };
    struct Level {
        bool isObject = false;
        int node = -1;          // the path node this container sits at, -1 when off every path
        int keyNode = -1;       // the node of the value after the key just read
        std::vector<int> seen;  // path children already met here: a repeat reads nothing
    };

    bool fail();
    bool step(const char*& p, const char* end);
    bool takeStructural(char c);
    bool startValue(char c);
    bool takeLiteral(char c);
    bool continueString(const char*& p, const char* end);
    bool takeEscape(char c);
    bool takeHexDigit(char c);
    bool takeLowSurrogateStart(char c);
    void beginString(bool isKey, int node);
    bool endString();
    void appendCaptured(std::string_view bytes);
    bool appendCodePoint(std::uint32_t codePoint);
    bool takeUtf8(unsigned char byte);
    bool continueNumber(char c, bool& consumed);
    void addDigit(char digit, bool fraction);
    bool endNumber();
    bool endValue();
    bool closeContainer(char c);
    JsonValue* targetOf(int node);

    std::vector<Node> nodes_;
    std::vector<JsonValue> values_;
    std::vector<std::string> storage_; // backing text of string values
    std::size_t captureLimit_;
    std::size_t longestKey_ = 0;

    State state_ = State::value;
    JsonValue::Type rootType_ = JsonValue::Type::absent;
    bool rootSeen_ = false;
    std::vector<Level> stack_;
    int valueNode_ = 0; // node of the value about to start

    // Current string.
    bool stringIsKey_ = false;
    JsonValue* stringTarget_ = nullptr;
    std::string* stringText_ = nullptr;
    std::string key_;
    bool keyTooLong_ = false;
    int utf8Need_ = 0;
    unsigned char utf8Low_ = 0x80;
    unsigned char utf8High_ = 0xBF;
    int hexCount_ = 0;
    std::uint32_t hexValue_ = 0;
    std::uint32_t highSurrogate_ = 0;
    bool inLowSurrogate_ = false;

    // Current number.
    NumberPart numberPart_ = NumberPart::sign;
    JsonValue* numberTarget_ = nullptr;
    bool negative_ = false;
    bool isInteger_ = true;
    std::string digits_;          // significant digits, at most maxSignificant (+1 sticky)
    bool sticky_ = false;         // a non-zero digit was dropped
    std::int64_t integerDigits_ = 0;  // significant digits before the point
    std::int64_t fractionZeros_ = 0;  // zeros after the point before the first significant digit
    std::int64_t exponent_ = 0;
    bool exponentNegative_ = false;
    std::string integerText_;     // the integer's digits while it may still fit 64 bits

    // Current literal.
    std::string_view literal_;
    std::size_t literalAt_ = 0;
    JsonValue literalValue_;
};

} // namespace tallyglass
