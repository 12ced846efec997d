#include "storage/DatabaseClient.h"

#include "core/Bounds.h"
#include "core/IsoTime.h"
#include "core/SharedText.h"
#include "core/UtcCalendar.h"
#include "storage/PriceCheck.h"
#include "storage/ReadStatements.h"
#include "storage/TranscriptMarkRows.h"

#include <sqlite3.h>

#include <algorithm>
#include <optional>

namespace tallyglass {

namespace {

constexpr const char* usageLimitsSql =
    "SELECT five_hour_utilization, five_hour_resets_at, seven_day_utilization, seven_day_resets_at, fetched_at "
    "FROM usage_limits WHERE id = 1 LIMIT 1;";
constexpr const char* anyMessageSql = "SELECT 1 FROM messages LIMIT 1;";
constexpr const char* windowSql =
    "SELECT timestamp, model, inputTokens, outputTokens FROM messages "
    "WHERE timestamp >= ?1 AND timestamp < ?2 AND role = 'assistant' ORDER BY timestamp ASC;";
// The newest text below a bound first, by the index; then every text that
// could still be a later moment written with another zone offset.
constexpr const char* latestTextSql =
    "SELECT timestamp FROM messages WHERE role = 'assistant' AND timestamp < ?1 ORDER BY timestamp DESC LIMIT 1;";
constexpr const char* newestFirstSql =
    "SELECT timestamp FROM messages WHERE role = 'assistant' AND timestamp >= ?1 AND timestamp < ?2 ORDER BY timestamp DESC;";
// The texts written with an offset other than Z: by the writer's partial index, which holds only those (few or none).
constexpr const char* zonedTimestampsSql =
    "SELECT timestamp FROM messages WHERE substr(timestamp, -1) <> 'Z' AND timestamp >= ?1 AND timestamp < ?2 "
    "AND role = 'assistant';";
// The texts at either end that may be impossible times, each end by the index.
constexpr const char* outerTimestampsSql =
    "SELECT timestamp FROM messages WHERE role = 'assistant' AND timestamp < ?1 "
    "UNION ALL SELECT timestamp FROM messages WHERE role = 'assistant' AND timestamp >= ?2;";
constexpr const char* activeSessionsSql = "SELECT COUNT(*) FROM sessions WHERE isActive = 1;";

using ReadStatements::prepareOrThrow;
using ReadStatements::throwStep;

using ReadStatements::hasSchema;

std::optional<Instant> columnDate(const SqliteStatement& statement, int column)
{
    const auto text = statement.text(column);
    if (!text)
        return std::nullopt;
    return IsoTime::parse(*text);
}

std::optional<double> columnOptionalDouble(const SqliteStatement& statement, int column)
{
    if (statement.isNull(column))
        return std::nullopt;
    return statement.real(column);
}

// Files written before counts were bounded may hold anything: read them bounded.
std::int64_t columnTokens(const SqliteStatement& statement, int column)
{
    return Bounds::tokens(statement.int64(column));
}

} // namespace

DatabaseClient::DatabaseClient(std::filesystem::path path, WallClock now, ReadConnection::Keeping keeping)
    : now_(std::move(now))
    , connection_(std::move(path), keeping)
{
}

Instant DatabaseClient::latestMessageTime() const
{
    return Bounds::latestMessageTime(now_ ? now_() : wallClockNow());
}

std::optional<std::int64_t> DatabaseClient::changeToken()
{
    return connection_.changeToken();
}

template <typename R>
R DatabaseClient::withReadOnly(const std::function<R(sqlite3*)>& body)
{
    std::optional<R> result;
    connection_.read([&](sqlite3* db) { result.emplace(body(db)); });
    return std::move(*result);
}

std::optional<UsageLimits> DatabaseClient::fetchUsageLimits()
{
    return withReadOnly<std::optional<UsageLimits>>([](sqlite3* db) -> std::optional<UsageLimits> {
        SqliteStatement statement = prepareOrThrow(db, usageLimitsSql);
        const int rc = statement.step();
        if (rc == SQLITE_DONE)
            return std::nullopt;
        if (rc != SQLITE_ROW)
            throwStep(db);
        return UsageLimits{Bounds::utilization(columnOptionalDouble(statement, 0)), columnDate(statement, 1),
                           Bounds::utilization(columnOptionalDouble(statement, 2)), columnDate(statement, 3),
                           columnDate(statement, 4)};
    });
}

bool DatabaseClient::hasAnyMessages()
{
    return withReadOnly<bool>([](sqlite3* db) {
        SqliteStatement statement = prepareOrThrow(db, anyMessageSql);
        return statement.step() == SQLITE_ROW;
    });
}

std::vector<MessageRow> DatabaseClient::fetchMessagesInWindow(Instant from, Instant to)
{
    const Instant latest = latestMessageTime();
    return withReadOnly<std::vector<MessageRow>>([&](sqlite3* db) {
        SqliteStatement statement = prepareOrThrow(db, windowSql);
        statement.bindText(1, IsoTime::formatMillis(from));
        statement.bindText(2, IsoTime::formatMillis(to));
        std::vector<MessageRow> rows;
        int rc;
        while ((rc = statement.step()) == SQLITE_ROW) {
            const auto timestamp = columnDate(statement, 0);
            if (!timestamp || !Bounds::isPossibleMessageTime(*timestamp, latest))
                continue;
            const auto model = statement.text(1);
            rows.push_back({*timestamp, model ? std::optional<std::string>(*model) : std::nullopt,
                            columnTokens(statement, 2), columnTokens(statement, 3)});
        }
        if (rc != SQLITE_DONE)
            throwStep(db);
        return rows;
    });
}

std::int64_t DatabaseClient::fetchActiveSessionCount()
{
    return withReadOnly<std::int64_t>([](sqlite3* db) {
        SqliteStatement statement = prepareOrThrow(db, activeSessionsSql);
        if (statement.step() != SQLITE_ROW)
            throwStep(db);
        return statement.int64(0);
    });
}

std::vector<DashboardMessage> DatabaseClient::fetchAllMessages()
{
    return fetchMessagesAround(std::nullopt, std::nullopt);
}

std::vector<DashboardMessage> DatabaseClient::fetchMessagesAround(std::optional<Instant> from, std::optional<Instant> to)
{
    const Instant latest = latestMessageTime();
    return withReadOnly<std::vector<DashboardMessage>>([&](sqlite3* db) {
        // Stored timestamps are the transcripts' own texts, compared as text: a day
        // either side lets any zone offset in, and the caller keeps the exact span.
        // Open ends stop where possible times do.
        const Instant first = from ? std::max(*from, Bounds::earliestMessageTime) : Bounds::earliestMessageTime;
        const Instant last = to ? std::min(*to, latest) : latest;
        const std::string lower = IsoTime::formatSeconds(UtcCalendar::addDays(first, -1));
        const std::string upper = IsoTime::formatSeconds(UtcCalendar::addDays(last, 1));
        const std::string where = "role = 'assistant' AND timestamp >= ?1 AND timestamp < ?2";
        const auto bind = [&](SqliteStatement& statement) {
            statement.bindText(1, lower);
            statement.bindText(2, upper);
        };
        // Sized once: growing a million-row list step by step moves it again and again.
        std::vector<DashboardMessage> messages;
        {
            SqliteStatement count = prepareOrThrow(db, ("SELECT COUNT(*) FROM messages WHERE " + where + ";").c_str());
            bind(count);
            if (count.step() == SQLITE_ROW)
                messages.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, count.int64(0))));
        }
        SqliteStatement statement = prepareOrThrow(
            db, ("SELECT " + ReadStatements::messageColumns(db) + " FROM messages WHERE " + where + " ORDER BY timestamp ASC;").c_str());
        bind(statement);
        // One shared text per distinct session, model and machine: a history repeats them thousands of times.
        TextInterner intern;
        SharedText machine; // nearly always the one of the row before: compared rather than looked up
        int rc;
        while ((rc = statement.step()) == SQLITE_ROW) {
            const auto timestamp = columnDate(statement, 0);
            if (!timestamp || !Bounds::isPossibleMessageTime(*timestamp, latest))
                continue;
            messages.push_back(ReadStatements::messageOf(statement, 0, *timestamp, intern, machine));
        }
        if (rc != SQLITE_DONE)
            throwStep(db);
        return messages;
    });
}

std::optional<Instant> DatabaseClient::fetchLatestMessageTime()
{
    const Instant latestPossible = latestMessageTime();
    return withReadOnly<std::optional<Instant>>([&](sqlite3* db) -> std::optional<Instant> {
        // The newest text that is surely not too late, whatever its offset.
        SqliteStatement newest = prepareOrThrow(db, latestTextSql);
        newest.bindText(1, IsoTime::formatSeconds(UtcCalendar::addDays(latestPossible, -1)));
        const int rc = newest.step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            throwStep(db);
        const auto newestText = rc == SQLITE_ROW ? columnDate(newest, 0) : std::nullopt;
        // Texts compare as written: one with another offset may be up to a day
        // later in fact, so the last two days by text, and the texts after them
        // that may still be possible times, may hold the newest moment.
        const std::string from = newestText ? IsoTime::formatSeconds(UtcCalendar::addDays(*newestText, -2)) : std::string();
        const std::string to = IsoTime::formatSeconds(UtcCalendar::addDays(latestPossible, 1));
        std::optional<Instant> latest;
        std::string stopBelow; // no Z text below this can be later than `latest`
        const auto consider = [&](const SqliteStatement& statement) {
            const auto timestamp = columnDate(statement, 0);
            if (!timestamp || !Bounds::isPossibleMessageTime(*timestamp, latestPossible) || (latest && *timestamp <= *latest))
                return;
            latest = timestamp;
            // A Z text of the same second with a fraction sorts below the one without: a second's margin.
            stopBelow = IsoTime::formatSeconds(*latest - std::chrono::seconds(1));
        };
        // Texts with other offsets are all read; those in Z sort as their moments
        // do, so they are read newest first only down to the newest moment found.
        const auto run = [&](const char* sql, bool stopEarly) {
            SqliteStatement statement = prepareOrThrow(db, sql);
            statement.bindText(1, from);
            statement.bindText(2, to);
            int step;
            while ((step = statement.step()) == SQLITE_ROW) {
                if (stopEarly && latest && statement.text(0).value_or("") < std::string_view(stopBelow))
                    break;
                consider(statement);
            }
            if (step != SQLITE_ROW && step != SQLITE_DONE)
                throwStep(db);
        };
        run(zonedTimestampsSql, false);
        run(newestFirstSql, true);
        return latest;
    });
}

std::int64_t DatabaseClient::fetchImpossibleTimeCount()
{
    const Instant latest = latestMessageTime();
    return withReadOnly<std::int64_t>([&](sqlite3* db) {
        // Only texts within a day of either bound can be on either side of it.
        SqliteStatement statement = prepareOrThrow(db, outerTimestampsSql);
        statement.bindText(1, IsoTime::formatSeconds(UtcCalendar::addDays(Bounds::earliestMessageTime, 1)));
        statement.bindText(2, IsoTime::formatSeconds(UtcCalendar::addDays(latest, -1)));
        std::int64_t count = 0;
        int rc;
        while ((rc = statement.step()) == SQLITE_ROW) {
            const auto timestamp = columnDate(statement, 0);
            if (timestamp && !Bounds::isPossibleMessageTime(*timestamp, latest))
                ++count;
        }
        if (rc != SQLITE_DONE)
            throwStep(db);
        return count;
    });
}

std::map<std::string, std::string> DatabaseClient::fetchSessionProjects()
{
    return withReadOnly<std::map<std::string, std::string>>([](sqlite3* db) {
        std::map<std::string, std::string> projects;
        if (!hasSchema(db, "sessions", "project"))
            return projects;
        SqliteStatement statement = prepareOrThrow(db, "SELECT sessionId, project FROM sessions WHERE project IS NOT NULL;");
        int rc;
        while ((rc = statement.step()) == SQLITE_ROW)
            projects.emplace(statement.text(0).value_or(""), statement.text(1).value_or(""));
        if (rc != SQLITE_DONE)
            throwStep(db);
        return projects;
    });
}

std::vector<std::pair<std::string, std::int64_t>> DatabaseClient::fetchModelCounts()
{
    return withReadOnly<std::vector<std::pair<std::string, std::int64_t>>>([](sqlite3* db) {
        std::vector<std::pair<std::string, std::int64_t>> counts;
        if (!hasSchema(db, "messages"))
            return counts;
        SqliteStatement statement = prepareOrThrow(db,
            "SELECT COALESCE(model, ''), COUNT(*) FROM messages WHERE inputTokens + outputTokens "
            "+ cacheCreationInputTokens + cacheReadInputTokens > 0 GROUP BY COALESCE(model, '') ORDER BY 1;");
        int rc;
        while ((rc = statement.step()) == SQLITE_ROW)
            counts.emplace_back(statement.text(0).value_or(""), statement.int64(1));
        if (rc != SQLITE_DONE)
            throwStep(db);
        return counts;
    });
}

std::vector<std::string> DatabaseClient::fetchMachines()
{
    return withReadOnly<std::vector<std::string>>([](sqlite3* db) {
        std::vector<std::string> machines;
        if (!hasSchema(db, "messages", "machine"))
            return machines;
        SqliteStatement statement = prepareOrThrow(db, "SELECT DISTINCT machine FROM messages WHERE role = 'assistant' ORDER BY 1;");
        int rc;
        while ((rc = statement.step()) == SQLITE_ROW)
            machines.emplace_back(statement.text(0).value_or(""));
        if (rc != SQLITE_DONE)
            throwStep(db);
        return machines;
    });
}

bool DatabaseClient::hasMessagesPricedOtherThan(std::int64_t version)
{
    return withReadOnly<bool>([version](sqlite3* db) {
        if (!hasSchema(db, "messages", "pricedWith"))
            return hasSchema(db, "messages");
        // What the writer's last look left tells, when it can: reading every message is the last resort.
        if (const auto all = PriceCheck::allPricedWith(db, version))
            return !*all;
        SqliteStatement statement = prepareOrThrow(db, "SELECT EXISTS (SELECT 1 FROM messages WHERE pricedWith <> ?);");
        statement.bindInt64(1, version);
        if (statement.step() != SQLITE_ROW)
            throwStep(db);
        return statement.int64(0) != 0;
    });
}

std::vector<OutgoingMessage> DatabaseClient::fetchMessagesToSend(std::int64_t afterRowid, int limit)
{
    return withReadOnly<std::vector<OutgoingMessage>>([&](sqlite3* db) {
        std::vector<OutgoingMessage> out;
        SqliteStatement statement = prepareOrThrow(db,
            "SELECT m.rowid, m.messageId, m.sessionId, m.timestamp, m.model, m.inputTokens, m.outputTokens, "
            "m.cacheReadInputTokens, m.cacheCreationInputTokens, m.cacheCreation1hInputTokens, m.cost, m.isSubagent, "
            "s.project FROM messages m LEFT JOIN sessions s ON s.sessionId = m.sessionId "
            "WHERE m.rowid > ?1 AND m.fromTelemetry = 0 ORDER BY m.rowid LIMIT ?2;");
        statement.bindInt64(1, afterRowid);
        statement.bindInt64(2, limit);
        int rc = SQLITE_ROW;
        out.reserve(static_cast<std::size_t>(std::max(limit, 0)));
        while ((rc = statement.step()) == SQLITE_ROW) {
            OutgoingMessage m;
            m.rowid = statement.int64(0);
            m.messageId = std::string(statement.text(1).value_or(""));
            m.sessionId = std::string(statement.text(2).value_or(""));
            m.timestamp = std::string(statement.text(3).value_or(""));
            if (const auto model = statement.text(4))
                m.model = std::string(*model);
            m.inputTokens = statement.int64(5);
            m.outputTokens = statement.int64(6);
            m.cacheReadTokens = statement.int64(7);
            m.cacheCreationTokens = statement.int64(8);
            m.cacheCreation1hTokens = statement.int64(9);
            m.costUsd = statement.real(10);
            m.subagent = statement.int64(11) != 0;
            if (const auto project = statement.text(12))
                m.project = std::string(*project);
            out.push_back(std::move(m));
        }
        if (rc != SQLITE_DONE)
            throwStep(db);
        return out;
    });
}

std::optional<std::string> DatabaseClient::fetchStateValue(const std::string& key)
{
    return withReadOnly<std::optional<std::string>>([&](sqlite3* db) -> std::optional<std::string> {
        if (!hasSchema(db, "app_state"))
            return std::nullopt;
        SqliteStatement statement = prepareOrThrow(db, "SELECT value FROM app_state WHERE key = ?;");
        statement.bindText(1, key);
        const int rc = statement.step();
        if (rc == SQLITE_ROW && statement.text(0))
            return std::string(*statement.text(0));
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            throwStep(db);
        return std::nullopt;
    });
}

std::vector<TranscriptMark> DatabaseClient::fetchTranscriptMarks()
{
    return withReadOnly<std::vector<TranscriptMark>>([](sqlite3* db) {
        std::vector<TranscriptMark> marks;
        if (!hasSchema(db, "transcript_marks"))
            return marks;
        SqliteStatement select = prepareOrThrow(db, TranscriptMarkRows::selectSql);
        int rc;
        while ((rc = select.step()) == SQLITE_ROW)
            marks.push_back(TranscriptMarkRows::markOf(select));
        if (rc != SQLITE_DONE)
            throwStep(db);
        return marks;
    });
}

std::vector<LimitReading> DatabaseClient::fetchLimitReadings(Instant from, Instant to)
{
    return withReadOnly<std::vector<LimitReading>>([&](sqlite3* db) {
        std::vector<LimitReading> readings;
        if (!hasSchema(db, "limit_readings"))
            return readings;
        SqliteStatement statement = prepareOrThrow(db, "SELECT received_at, five_hour_utilization, five_hour_resets_at, "
                                                       "seven_day_utilization, seven_day_resets_at FROM limit_readings "
                                                       "WHERE received_at >= ?1 AND received_at < ?2 ORDER BY id ASC;");
        statement.bindText(1, IsoTime::formatSeconds(from));
        statement.bindText(2, IsoTime::formatSeconds(to));
        int rc;
        while ((rc = statement.step()) == SQLITE_ROW) {
            const auto at = columnDate(statement, 0);
            if (!at)
                continue;
            const auto number = [&](int column) { return statement.isNull(column) ? std::nullopt : std::optional<double>(statement.real(column)); };
            readings.push_back({*at, number(1), columnDate(statement, 2), number(3), columnDate(statement, 4)});
        }
        if (rc != SQLITE_DONE)
            throwStep(db);
        return readings;
    });
}

} // namespace tallyglass
