#include "core/JsonScanner.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

// Reading numbers: validated as JSON's grammar has them, and valued as the
// in-memory parser values them (integers in 64 bits as such, everything else a
// correctly rounded double, and beyond a double's range no number at all).
namespace tallyglass {

namespace {

// More significant digits than any double needs for correct rounding (767);
// further non-zero digits only set a sticky digit.
constexpr std::size_t maxSignificant = 800;
constexpr std::int64_t exponentCeiling = 1'000'000'000;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

// Only the significant digits are kept, and the zeros that lead a fraction are
// counted rather than kept, so that a long number costs no more than maxSignificant.
void JsonScanner::addDigit(char d, bool fraction)
{
    if (fraction && isInteger_ == false && digits_.empty() && d == '0') {
        ++fractionZeros_;
        return;
    }
    if (!fraction)
        ++integerDigits_;
    if (digits_.size() < maxSignificant)
        digits_.push_back(d);
    else if (d != '0')
        sticky_ = true;
}

bool JsonScanner::continueNumber(char c, bool& consumed)
{
    switch (numberPart_) {
    case NumberPart::sign:
        if (c == '0') {
            numberPart_ = NumberPart::zero;
        } else if (isDigit(c)) {
            numberPart_ = NumberPart::integer;
            addDigit(c, false);
        } else {
            return false;
        }
        integerText_.push_back(c);
        return true;
    case NumberPart::zero:
    case NumberPart::integer:
        if (numberPart_ == NumberPart::integer && isDigit(c)) {
            addDigit(c, false);
            if (integerText_.size() < 24)
                integerText_.push_back(c);
            return true;
        }
        if (c == '.' || c == 'e' || c == 'E') {
            isInteger_ = false;
            numberPart_ = c == '.' ? NumberPart::fractionStart : NumberPart::exponentStart;
            return true;
        }
        break;
    case NumberPart::fractionStart:
        if (!isDigit(c))
            return false;
        numberPart_ = NumberPart::fraction;
        addDigit(c, true);
        return true;
    case NumberPart::fraction:
        if (isDigit(c)) {
            addDigit(c, true);
            return true;
        }
        if (c == 'e' || c == 'E') {
            numberPart_ = NumberPart::exponentStart;
            return true;
        }
        break;
    case NumberPart::exponentStart:
        if (c == '+' || c == '-') {
            exponentNegative_ = c == '-';
            numberPart_ = NumberPart::exponentSign;
            return true;
        }
        [[fallthrough]];
    case NumberPart::exponentSign:
    case NumberPart::exponent:
        if (isDigit(c)) {
            numberPart_ = NumberPart::exponent;
            exponent_ = std::min(exponent_ * 10 + (c - '0'), exponentCeiling);
            return true;
        }
        if (numberPart_ != NumberPart::exponent)
            return false;
        break;
    }
    // The number ended before this character, which the next state reads.
    consumed = false;
    return endNumber();
}

bool JsonScanner::endNumber()
{
    JsonValue value;
    bool done = false;
    if (isInteger_) {
        const char* first = integerText_.data();
        const char* last = first + integerText_.size();
        std::int64_t asSigned = 0;
        if (auto [ptr, ec] = std::from_chars(first, last, asSigned); ec == std::errc{} && ptr == last) {
            value.type = JsonValue::Type::int64;
            value.int64 = asSigned;
            done = true;
        } else if (!negative_) {
            std::uint64_t asUnsigned = 0;
            if (auto [uptr, uec] = std::from_chars(first, last, asUnsigned); uec == std::errc{} && uptr == last) {
                value.type = JsonValue::Type::uint64;
                value.uint64 = asUnsigned;
                done = true;
            }
        }
    }
    if (!done) {
        double d = 0;
        if (!digits_.empty()) {
            const std::int64_t scale = integerDigits_ > 0 ? integerDigits_ : -fractionZeros_;
            std::string text = "0." + digits_;
            if (sticky_)
                text.push_back('1');
            text += "e" + std::to_string(scale + (exponentNegative_ ? -exponent_ : exponent_));
            d = std::strtod(text.c_str(), nullptr);
            if (std::isinf(d))
                return false; // beyond the range of a double: the in-memory parser refuses it too
        }
        value.type = JsonValue::Type::floating;
        value.floating = negative_ ? -d : d;
    }
    if (numberTarget_)
        *numberTarget_ = value;
    if (stack_.empty())
        rootType_ = value.type;
    return endValue();
}

} // namespace tallyglass
