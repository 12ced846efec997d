// Sending a year of messages to another instance, for bench/send-year.sh.
//
//   tallyglass_send_probe fill <app.db> [count]     stores a year of this machine's messages
//   tallyglass_send_probe send <app.db> <endpoint> <receiver's app.db>
//       sends them all and waits until the receiver has stored every one;
//       prints the time, the batches and this process's peak resident memory.
#include "YearOfMessages.h"

#include "core/IsoTime.h"
#include "server/UsageSender.h"
#include "storage/WriteDatabase.h"

#include <QCoreApplication>
#include <QTimer>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using namespace tallyglass;
constexpr const char* senderName = "bench-sender";

std::shared_ptr<WriteDatabase> open(const char* path)
{
    WriteDatabase::Options options;
    options.machineName = senderName;
    return std::make_shared<WriteDatabase>(path, options);
}

int fill(const char* path, std::size_t count)
{
    const auto& year = bench::yearOfMessages();
    count = std::min(count, year.size());
    auto writer = open(path);
    std::vector<MessageInsert> batch;
    std::vector<std::pair<std::string, std::string>> projects;
    for (std::size_t i = 0; i < count; ++i) {
        const DashboardMessage& d = year[i];
        MessageInsert m;
        m.messageId = "msg_" + std::to_string(i);
        m.sessionId = std::string(d.sessionId.view());
        m.timestamp = IsoTime::formatMillis(d.timestamp);
        m.role = "assistant";
        if (!d.model.view().empty())
            m.model = std::string(d.model.view());
        m.inputTokens = d.inputTokens;
        m.outputTokens = d.outputTokens;
        m.cacheCreationInputTokens = d.cacheCreationInputTokens;
        m.cacheReadInputTokens = d.cacheReadInputTokens;
        m.isSubagent = d.isSubagent;
        batch.push_back(std::move(m));
        if (batch.size() == 20'000 || i + 1 == count) {
            writer->insertBackfillMessages(batch);
            for (const auto& stored : batch)
                projects.emplace_back(stored.sessionId, "/home/me/projects/app-" + std::to_string(stored.sessionId.size() % 7));
            writer->setSessionProjects(projects, true);
            projects.clear();
            batch.clear();
        }
    }
    std::printf("stored %lld messages\n", static_cast<long long>(writer->messageCount()));
    return 0;
}

long long count(const char* path)
{
    sqlite3* db = nullptr;
    long long n = -1;
    if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM messages", -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            n = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return n;
}

std::string peakResident()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:"))
            return line.substr(6);
    return "?";
}

int send(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    auto writer = open(argv[2]);
    const long long total = writer->messageCount();
    const auto start = std::chrono::steady_clock::now();
    UsageSender sender(argv[3], writer, senderName, UsageSender::Options{});
    sender.start();
    long long lastSeen = -1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const long long stored = count(argv[4]);
        if (stored != lastSeen)
            lastSeen = stored;
        if (stored >= total)
            app.quit();
    });
    poll.start(200);
    QTimer::singleShot(std::chrono::minutes(5), &app, [&] { app.exit(1); }); // a bench that ends by itself
    const int status = app.exec();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto progress = sender.progress();
    std::printf("%lld of %lld messages stored by the receiver in %.1f s; %lld batches sent, sender peak resident%s\n",
                lastSeen, total, seconds, static_cast<long long>(progress.batchesSent), peakResident().c_str());
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "fill")
        return fill(argv[2], argc >= 4 ? std::stoul(argv[3]) : 1'000'000);
    if (argc >= 5 && std::string(argv[1]) == "send")
        return send(argc, argv);
    std::fprintf(stderr, "usage: tallyglass_send_probe fill <app.db> [count] | send <app.db> <endpoint> <receiver's app.db>\n");
    return 2;
}
