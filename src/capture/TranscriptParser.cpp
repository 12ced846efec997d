#include "capture/TranscriptParser.h"

#include "core/Bounds.h"
#include "core/IsoTime.h"
#include "core/JsonPayload.h"
#include "core/JsonScanner.h"
#include "core/Utf8.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#endif

namespace tallyglass::TranscriptParser {

static_assert(PaddedText::padding >= simdjson::SIMDJSON_PADDING);

namespace {

using simdjson::dom::element;
using simdjson::dom::object;
using Type = JsonValue::Type;

// The fields a line is classified by, in the order the rules look at them.
enum Field : std::size_t {
    type, message, messageId, usage, sessionId, timestamp, role, model,
    inputTokens, outputTokens, cacheCreationTokens, cacheReadTokens, cacheBreakdown, oneHourTokens,
    workingFolder, fieldCount
};

const std::vector<JsonScanner::Path>& fieldPaths()
{
    static const std::vector<JsonScanner::Path> paths = {
        {"type"}, {"message"}, {"message", "id"}, {"message", "usage"}, {"sessionId"}, {"timestamp"},
        {"message", "role"}, {"message", "model"}, {"message", "usage", "input_tokens"},
        {"message", "usage", "output_tokens"}, {"message", "usage", "cache_creation_input_tokens"},
        {"message", "usage", "cache_read_input_tokens"}, {"message", "usage", "cache_creation"},
        {"message", "usage", "cache_creation", "ephemeral_1h_input_tokens"}, {"cwd"},
    };
    return paths;
}

std::int64_t clampToInt64(double value)
{
    // 2^63 is exactly representable as a double; anything at or above it is out of range.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit)
        return std::numeric_limits<std::int64_t>::max();
    if (value < -limit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value); // truncates toward zero
}

std::int64_t toInt(const JsonValue& value)
{
    switch (value.type) {
    case Type::int64: return value.int64;
    case Type::uint64:
        return value.uint64 > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
            ? std::numeric_limits<std::int64_t>::max()
            : static_cast<std::int64_t>(value.uint64);
    case Type::floating: return std::isfinite(value.floating) ? clampToInt64(value.floating) : 0;
    // JSON booleans are numbers to the platform reader this format was first
    // consumed with; true counts 1.
    case Type::boolean: return value.boolean ? 1 : 0;
    default: return 0;
    }
}

bool isString(const JsonValue& value)
{
    return value.type == Type::string;
}

bool usableText(const JsonValue& value)
{
    return isString(value) && !value.text.empty() && !value.truncated && value.text.size() <= maxFieldBytes;
}

void noteWorkingFolder(const JsonValue& value, std::optional<std::string>* cwd)
{
    if (cwd && !*cwd && usableText(value))
        cwd->emplace(value.text);
}

// The classification rules, over fields read by either parser. `get` is asked
// for fields in rule order, so the in-memory reader looks up only what it needs.
template <typename Get>
Kind classifyFields(Get&& get, MessageInsert& insert, Instant latest)
{
    const JsonValue lineType = get(type);
    if (!isString(lineType) || lineType.text != "assistant")
        return Kind::nonAssistant;
    if (get(message).type != Type::object)
        return Kind::missingField;
    const JsonValue id = get(messageId);
    if (!usableText(id))
        return Kind::missingField;
    if (get(usage).type != Type::object)
        return Kind::missingField;
    const JsonValue session = get(sessionId);
    if (!usableText(session))
        return Kind::missingField;
    const JsonValue time = get(timestamp);
    if (!usableText(time))
        return Kind::missingField;
    const auto at = IsoTime::parse(time.text);
    if (!at)
        return Kind::missingField;
    if (!Bounds::isPossibleMessageTime(*at, latest))
        return Kind::impossibleTime;
    const JsonValue roleValue = get(role);
    const JsonValue modelValue = get(model);
    if ((isString(roleValue) && (roleValue.truncated || roleValue.text.size() > maxFieldBytes))
        || (isString(modelValue) && (modelValue.truncated || modelValue.text.size() > maxFieldBytes)))
        return Kind::missingField;

    insert.messageId.assign(id.text);
    insert.sessionId.assign(session.text);
    insert.timestamp.assign(time.text);
    insert.role.assign(isString(roleValue) ? roleValue.text : std::string_view("assistant"));
    if (isString(modelValue) && !modelValue.text.empty())
        insert.model.emplace(modelValue.text);
    else
        insert.model.reset();
    insert.inputTokens = toInt(get(inputTokens));
    insert.outputTokens = toInt(get(outputTokens));
    insert.cacheCreationInputTokens = toInt(get(cacheCreationTokens));
    insert.cacheReadInputTokens = toInt(get(cacheReadTokens));
    insert.isSubagent = false;
    const std::int64_t oneHour = get(cacheBreakdown).type == Type::object ? toInt(get(oneHourTokens)) : 0;
    insert.cacheCreation1hInputTokens =
        std::clamp<std::int64_t>(oneHour, 0, std::max<std::int64_t>(insert.cacheCreationInputTokens, 0));
    return Kind::ok;
}

// An element as a field value; an object is also kept in `into` for the next level's lookups.
JsonValue fromElement(simdjson::simdjson_result<element> field, object* into = nullptr)
{
    JsonValue value;
    element e;
    if (field.get(e))
        return value;
    switch (e.type()) {
    case simdjson::dom::element_type::ARRAY: value.type = Type::array; break;
    case simdjson::dom::element_type::OBJECT:
        value.type = Type::object;
        if (into)
            *into = e.get_object().value_unsafe();
        break;
    case simdjson::dom::element_type::INT64: value.type = Type::int64; value.int64 = e.get_int64().value_unsafe(); break;
    case simdjson::dom::element_type::UINT64: value.type = Type::uint64; value.uint64 = e.get_uint64().value_unsafe(); break;
    case simdjson::dom::element_type::DOUBLE: value.type = Type::floating; value.floating = e.get_double().value_unsafe(); break;
    case simdjson::dom::element_type::STRING: value.type = Type::string; value.text = e.get_string().value_unsafe(); break;
    case simdjson::dom::element_type::BOOL: value.type = Type::boolean; value.boolean = e.get_bool().value_unsafe(); break;
    case simdjson::dom::element_type::NULL_VALUE: value.type = Type::null; break;
    }
    return value;
}

// Field lookups on a parsed line, one level at a time.
class DomFields {
public:
    explicit DomFields(object line)
        : line_(line)
    {
    }

    JsonValue operator()(Field field)
    {
        switch (field) {
        case type: return fromElement(line_["type"]);
        case sessionId: return fromElement(line_["sessionId"]);
        case timestamp: return fromElement(line_["timestamp"]);
        case message: return fromElement(line_["message"], &message_);
        case messageId: return fromElement(message_["id"]);
        case role: return fromElement(message_["role"]);
        case model: return fromElement(message_["model"]);
        case usage: return fromElement(message_["usage"], &usage_);
        case inputTokens: return fromElement(usage_["input_tokens"]);
        case outputTokens: return fromElement(usage_["output_tokens"]);
        case cacheCreationTokens: return fromElement(usage_["cache_creation_input_tokens"]);
        case cacheReadTokens: return fromElement(usage_["cache_read_input_tokens"]);
        case cacheBreakdown: return fromElement(usage_["cache_creation"], &breakdown_);
        case oneHourTokens: return fromElement(breakdown_["ephemeral_1h_input_tokens"]);
        case workingFolder: return fromElement(line_["cwd"]);
        case fieldCount: break;
        }
        return {};
    }

private:
    object line_;
    object message_;
    object usage_;
    object breakdown_;
};

// `cwd` is given only while the caller still looks for a working folder: once
// one is known, lines cost no extra lookup.
Kind classifyPadded(const char* data, std::size_t size, MessageInsert& insert, std::optional<std::string>* cwd,
                   Instant latest)
{
    if (size > maxInMemoryLineBytes) {
        LineScanner scanner;
        scanner.feed({data, size});
        return scanner.finish(insert, latest, cwd);
    }
    object line;
    if (!JsonPayload::parsePaddedObject(data, size, line))
        return Kind::malformed;
    DomFields fields(line);
    if (cwd)
        noteWorkingFolder(fields(workingFolder), cwd);
    return classifyFields(fields, insert, latest);
}

std::optional<std::string>* stillLookingFor(std::optional<std::string>& cwd)
{
    return cwd ? nullptr : &cwd;
}

#if defined(__SSE2__)
// Whether the word starts at one of the places marked in `candidates` (bit n:
// the place `at` + n), as the wide searches below find them.
bool wordAtOneOf(const char* data, std::size_t at, unsigned candidates)
{
    while (candidates != 0) {
        const auto bit = static_cast<std::size_t>(__builtin_ctz(candidates));
        if (std::memcmp(data + at + bit, "assistant", 9) == 0)
            return true;
        candidates &= candidates - 1;
    }
    return false;
}
#endif

#if defined(__x86_64__)
// mayBeAssistant's search, 32 places at a time, on processors that have
// AVX2 (nearly all of them); stops where fewer than a step's bytes are left.
__attribute__((target("avx2"))) bool mayBeAssistantWide(const char* data, std::size_t size, std::size_t& at)
{
    constexpr std::size_t wordSize = 9; // "assistant"
    const __m256i first = _mm256_set1_epi8('a');
    const __m256i last = _mm256_set1_epi8('t');
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i u = _mm256_set1_epi8('u');
    for (; at + 32 + wordSize <= size; at += 32) {
        const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + 1));
        const __m256i end = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + wordSize - 1));
        if (_mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(here, backslash), _mm256_cmpeq_epi8(next, u))) != 0)
            return true;
        const auto candidates = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(here, first), _mm256_cmpeq_epi8(end, last))));
        if (wordAtOneOf(data, at, candidates))
            return true;
    }
    return false;
}

const bool haveAvx2 = __builtin_cpu_supports("avx2");
#endif

// Whether a line's bytes can hold the type "assistant": the word itself, or
// a \u escape that could spell it (no other JSON escape gives a letter).
// Sixteen places at a time where SSE2 is there: every transcript byte passes
// here, most of them tool output.
bool mayBeAssistant(std::string_view line)
{
    constexpr std::string_view word = "assistant";
    std::size_t at = 0;
#if defined(__x86_64__)
    if (haveAvx2 && mayBeAssistantWide(line.data(), line.size(), at))
        return true;
#endif
#if defined(__SSE2__)
    const char* const data = line.data();
    const __m128i first = _mm_set1_epi8('a');
    const __m128i last = _mm_set1_epi8('t');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i u = _mm_set1_epi8('u');
    for (; at + 16 + word.size() <= line.size(); at += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + 1));
        const __m128i end = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + word.size() - 1));
        if (_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, backslash), _mm_cmpeq_epi8(next, u))) != 0)
            return true;
        const auto candidates = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, first), _mm_cmpeq_epi8(end, last))));
        if (wordAtOneOf(data, at, candidates))
            return true;
    }
#endif
    const std::string_view rest = line.substr(at);
    return rest.find(word) != std::string_view::npos || rest.find("\\u") != std::string_view::npos;
}

bool isBlankLine(std::string_view line)
{
    // Nearly every line starts with '{'; only look closer at the others.
    return line.empty() || (line.front() != '{' && Utf8::isBlank(line));
}

} // namespace

void count(Kind kind, MessageInsert&& insert, Outcome& outcome)
{
    switch (kind) {
    case Kind::ok: outcome.inserts.push_back(std::move(insert)); break;
    case Kind::malformed: ++outcome.malformed; break;
    case Kind::nonAssistant: ++outcome.nonAssistant; break;
    case Kind::missingField: ++outcome.missingField; break;
    case Kind::impossibleTime: ++outcome.impossibleTime; break;
    }
}

struct LineScanner::State {
    JsonScanner scanner{fieldPaths(), maxFieldBytes + 1};
};

LineScanner::LineScanner()
    : state_(std::make_unique<State>())
{
}

LineScanner::~LineScanner() = default;

void LineScanner::reset()
{
    state_->scanner.reset();
}

void LineScanner::feed(std::string_view bytes)
{
    state_->scanner.feed(bytes);
}

Kind LineScanner::finish(MessageInsert& insert, Instant latest, std::optional<std::string>* cwd)
{
    JsonScanner& scanner = state_->scanner;
    if (!scanner.finish() || scanner.rootType() != Type::object)
        return Kind::malformed;
    noteWorkingFolder(scanner.value(workingFolder), cwd);
    return classifyFields([&](Field field) { return scanner.value(field); }, insert, latest);
}

Classification classify(std::string_view line, Instant latest)
{
    const PaddedText padded(line);
    MessageInsert insert;
    const Kind kind = classifyPadded(padded.data(), padded.size(), insert, nullptr, latest);
    Classification result{kind, std::nullopt};
    if (kind == Kind::ok)
        result.insert = std::move(insert);
    return result;
}

Outcome parseLines(const std::vector<std::string_view>& lines, Instant latest)
{
    Outcome outcome;
    for (const std::string_view line : lines) {
        if (isBlankLine(line))
            continue;
        if (outcome.cwd && !mayBeAssistant(line)) {
            ++outcome.nonAssistant;
            continue;
        }
        const PaddedText padded(line);
        MessageInsert insert;
        const Kind kind = classifyPadded(padded.data(), padded.size(), insert, stillLookingFor(outcome.cwd), latest);
        count(kind, std::move(insert), outcome);
    }
    return outcome;
}

void parseTextInto(const PaddedText& text, Outcome& outcome, Instant latest)
{
    parsePaddedRangeInto(text.data(), text.size(), outcome, latest);
}

void parsePaddedRangeInto(const char* data, std::size_t size, Outcome& outcome, Instant latest)
{
    const char* cursor = data;
    const char* const end = cursor + size;
    while (cursor < end) {
        const void* found = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
        const char* lineEnd = found ? static_cast<const char*>(found) : end;
        parsePaddedLineInto(cursor, static_cast<std::size_t>(lineEnd - cursor), outcome, latest);
        cursor = found ? lineEnd + 1 : end;
    }
}

void parsePaddedLineInto(const char* data, std::size_t size, Outcome& outcome, Instant latest)
{
    if (size > 0 && data[size - 1] == '\r')
        --size;
    const std::string_view line(data, size);
    if (isBlankLine(line))
        return;
    // Most of a transcript's bytes are tool output on lines that hold no
    // usage; once the working folder is known they have nothing to give.
    if (outcome.cwd && !mayBeAssistant(line)) {
        ++outcome.nonAssistant;
        return;
    }
    // Everything after the line, up to the buffer's padding, is readable.
    MessageInsert insert;
    const Kind kind = classifyPadded(line.data(), line.size(), insert, stillLookingFor(outcome.cwd), latest);
    count(kind, std::move(insert), outcome);
}

Outcome parseText(const PaddedText& text, Instant latest)
{
    Outcome outcome;
    parseTextInto(text, outcome, latest);
    return outcome;
}

} // namespace tallyglass::TranscriptParser
