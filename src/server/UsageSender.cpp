#include "server/UsageSender.h"

#include "core/Log.h"
#include "core/ThreadHandoff.h"
#include "server/Gzip.h"
#include "server/SentMessages.h"
#include "storage/DatabaseClient.h"
#include "storage/WriteDatabase.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <deque>
#include <mutex>

namespace tallyglass {

namespace {

// A batch's JSON stays under this, well inside a receiver's 4 MiB body limit
// once inflated, however long the sessions' ids and folders.
constexpr std::size_t bodyLimit = 3 * 1024 * 1024;
// A Retry-After is honoured up to an hour; a longer one is taken as an hour.
constexpr std::chrono::seconds longestRetryAfter{3600};

QUrl parsed(std::string_view endpoint)
{
    return QUrl(QString::fromUtf8(endpoint.data(), static_cast<qsizetype>(endpoint.size())).trimmed(),
                QUrl::StrictMode);
}

// Retry-After as seconds; nothing for an HTTP date or no header.
std::optional<std::chrono::seconds> retryAfter(const QNetworkReply& reply)
{
    bool ok = false;
    const qlonglong seconds = reply.rawHeader("Retry-After").trimmed().toLongLong(&ok);
    if (!ok || seconds < 0)
        return std::nullopt;
    return std::min(std::chrono::seconds(seconds), longestRetryAfter);
}

} // namespace

class UsageSender::Worker final : public QObject {
public:
    Worker(std::string endpoint, std::shared_ptr<WriteDatabase> writer, std::string machine, Options options)
        : key_(logsUrl(endpoint))
        , url_(QString::fromStdString(key_))
        , shown_(shownUrl(endpoint))
        , writer_(std::move(writer))
        , reader_(writer_->path(), {}, ReadConnection::Keeping::kept)
        , machine_(std::move(machine))
        , options_(std::move(options))
        , batchLimit_(std::max(options_.batchSize, 1))
    {
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] { sendNext(); });
    }

    // On the sending thread, before anything else.
    void begin()
    {
        network_ = new QNetworkAccessManager(this);
        sendNext();
    }

    void sendNext();
    Progress progress() const
    {
        const std::lock_guard guard(mutex_);
        return progress_;
    }

private:
    Clock::time_point now() const { return options_.now ? options_.now() : Clock::now(); }
    std::vector<SentMessages::Outgoing> nextBatch();
    void post(const std::vector<SentMessages::Outgoing>& batch);
    void answered(QNetworkReply* reply);
    void delivered(QNetworkReply* reply);
    void startAgainFromMark();
    void failed(const std::string& problem, std::optional<std::chrono::seconds> wait);
    void say(const std::string& kind, const std::string& detail);

    const std::string key_; // the logs URL, also what the mark is kept under
    const QUrl url_;
    const std::string shown_; // in the log: without a password
    const std::shared_ptr<WriteDatabase> writer_;
    DatabaseClient reader_;
    const std::string machine_;
    const Options options_;
    QNetworkAccessManager* network_ = nullptr;
    QTimer timer_{this};
    // A batch posted and not yet answered, in the order they were read.
    struct Posted {
        QNetworkReply* reply;
        std::int64_t lastRowid;
        bool accepted = false;
    };
    std::optional<std::int64_t> mark_; // read from the file once; what the endpoint took without a gap
    std::int64_t readThrough_ = 0;     // the last rowid posted
    std::deque<Posted> posted_;
    std::optional<Clock::time_point> due_;
    std::chrono::milliseconds pause_{0};
    int batchLimit_;
    std::string lastSaid_;
    mutable std::mutex mutex_;
    Progress progress_; // under mutex_
};

// Keeps up to Options::inFlight batches posted at once: most of a batch's
// time is spent waiting for the answer, and the receiver reads one while
// the next is on its way.
void UsageSender::Worker::sendNext()
{
    if (!network_)
        return;
    if (due_ && now() < *due_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due_ - now());
        timer_.start(std::max(left, std::chrono::milliseconds(0)));
        return;
    }
    due_.reset();
    while (static_cast<int>(posted_.size()) < std::max(options_.inFlight, 1)) {
        std::vector<SentMessages::Outgoing> batch;
        try {
            batch = nextBatch();
        } catch (const std::exception& error) {
            failed(std::string("reading the messages to send failed: ") + error.what(), std::nullopt);
            return;
        }
        if (batch.empty())
            return;
        post(batch);
    }
}

std::vector<SentMessages::Outgoing> UsageSender::Worker::nextBatch()
{
    if (!mark_) {
        mark_ = writer_->sentMark(key_);
        readThrough_ = *mark_;
    }
    return reader_.fetchMessagesToSend(readThrough_, batchLimit_);
}

void UsageSender::Worker::post(const std::vector<SentMessages::Outgoing>& batch)
{
    std::span<const SentMessages::Outgoing> sending(batch);
    std::string json = SentMessages::exportJson(sending, machine_);
    while (json.size() > bodyLimit && sending.size() > 1) {
        sending = sending.first(sending.size() / 2);
        json = SentMessages::exportJson(sending, machine_);
    }
    const std::string body = Gzip::deflate(json);
    QNetworkRequest request(url_);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setRawHeader("Content-Encoding", "gzip");
    request.setTransferTimeout(60'000);
    QNetworkReply* reply = network_->post(request, QByteArray(body.data(), static_cast<qsizetype>(body.size())));
    readThrough_ = sending.back().rowid;
    posted_.push_back({reply, readThrough_});
    connect(reply, &QNetworkReply::finished, this, [this, reply] { answered(reply); });
}

// After a failure every batch after the mark goes again, in order: the ones
// still on their way are dropped (a receiver that took some of them stores
// nothing twice).
void UsageSender::Worker::startAgainFromMark()
{
    std::deque<Posted> dropped;
    dropped.swap(posted_);
    for (const Posted& p : dropped) {
        p.reply->disconnect(this);
        p.reply->deleteLater(); // one still on its way is cancelled as it goes
    }
    readThrough_ = mark_.value_or(0);
}

void UsageSender::Worker::answered(QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 200 && status < 300) {
        delivered(reply);
        return;
    }
    startAgainFromMark();
    if (status == 413 && batchLimit_ > 1) {
        batchLimit_ = std::max(batchLimit_ / 2, 1);
        QMetaObject::invokeMethod(this, [this] { sendNext(); }, Qt::QueuedConnection);
        return;
    }
    const bool toldToWait = status == 429 || status == 503;
    const std::string problem = status != 0
        ? shown_ + " answered " + std::to_string(status) + " " + reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().toStdString()
        : shown_ + " cannot be reached: " + reply->errorString().toStdString();
    failed(problem, toldToWait ? retryAfter(*reply) : std::nullopt);
}

// The mark moves over the batches taken without a gap before them.
void UsageSender::Worker::delivered(QNetworkReply* reply)
{
    const QByteArray answer = reply->readAll();
    for (Posted& p : posted_)
        p.accepted = p.accepted || p.reply == reply;
    reply->deleteLater();
    std::optional<std::int64_t> moved;
    int batches = 0;
    while (!posted_.empty() && posted_.front().accepted) {
        moved = posted_.front().lastRowid;
        posted_.pop_front();
        ++batches;
    }
    if (answer.contains("rejectedLogRecords"))
        say(shown_ + " refused some messages", ": " + answer.left(300).toStdString());
    else if (!lastSaid_.empty()) {
        Log::line("sending usage: " + shown_ + " takes the messages again");
        lastSaid_.clear();
    }
    pause_ = std::chrono::milliseconds(0);
    if (moved) {
        mark_ = *moved;
        try {
            writer_->setSentMark(key_, *moved);
        } catch (const std::exception& error) {
            // Kept in memory: only a restart sends these again, and a resend stores nothing twice.
            Log::line(std::string("remembering what was sent failed: ") + error.what());
        }
        const std::lock_guard guard(mutex_);
        progress_.sentThrough = *moved;
        progress_.batchesSent += batches;
        progress_.failuresInRow = 0;
        progress_.retryAt.reset();
    }
    sendNext();
}

void UsageSender::Worker::failed(const std::string& problem, std::optional<std::chrono::seconds> wait)
{
    pause_ = pause_.count() == 0 ? options_.firstPause : std::min(pause_ * 2, options_.longestPause);
    const std::chrono::milliseconds delay = wait ? std::chrono::milliseconds(*wait) : pause_;
    due_ = now() + delay;
    {
        const std::lock_guard guard(mutex_);
        ++progress_.failuresInRow;
        progress_.retryAt = due_;
    }
    say(problem, "; trying again in " + std::to_string(std::chrono::ceil<std::chrono::seconds>(delay).count()) + " s");
    timer_.start(delay);
}

// One line for each new kind of trouble, not one per attempt.
void UsageSender::Worker::say(const std::string& kind, const std::string& detail)
{
    if (kind == lastSaid_)
        return;
    lastSaid_ = kind;
    Log::line("sending usage: " + kind + detail);
}

UsageSender::UsageSender(std::string endpoint, std::shared_ptr<WriteDatabase> writer, std::string machine, Options options)
    : thread_(std::make_unique<QThread>())
    , writer_(writer)
{
    thread_->setObjectName("tallyglass.UsageSender");
    worker_ = new Worker(std::move(endpoint), std::move(writer), std::move(machine), std::move(options));
    worker_->moveToThread(thread_.get());
    thread_->start();
}

UsageSender::UsageSender(std::string endpoint, std::shared_ptr<WriteDatabase> writer)
    : UsageSender(std::move(endpoint), writer, writer->machineName(), Options{})
{
}

UsageSender::~UsageSender()
{
    writer_->setOnMessagesStored({}); // no wake reaches a worker that is gone
    onSendingThreadAndWait([worker = worker_] { delete worker; }); // requests in flight are dropped
    thread_->quit();
    thread_->wait();
}

void UsageSender::start()
{
    writer_->setOnMessagesStored([this] { wake(); });
    QMetaObject::invokeMethod(worker_, handedOff([worker = worker_] { worker->begin(); }), Qt::QueuedConnection);
}

void UsageSender::wake()
{
    QMetaObject::invokeMethod(worker_, handedOff([worker = worker_] { worker->sendNext(); }), Qt::QueuedConnection);
}

void UsageSender::timeMoved()
{
    onSendingThreadAndWait([worker = worker_] { worker->sendNext(); });
}

UsageSender::Progress UsageSender::progress() const
{
    return worker_->progress();
}

void UsageSender::onSendingThreadAndWait(std::function<void()> work)
{
    handOffAndWait([this](auto job) { QMetaObject::invokeMethod(worker_, std::move(job), Qt::QueuedConnection); },
                   std::move(work));
}

std::optional<std::string> UsageSender::endpointProblem(std::string_view endpoint)
{
    // "collector:4318" reads as a URL of the scheme "collector": the scheme is what is missing.
    if (endpoint.find("://") == std::string_view::npos)
        return "The address must start with http:// or https://.";
    const QUrl url = parsed(endpoint);
    if (!url.isValid() || url.isRelative())
        return "This is not an address: write it as http://host:4318 or https://host/v1/logs.";
    const QString scheme = url.scheme().toLower();
    if (scheme != "http" && scheme != "https")
        return "The address must start with http:// or https://.";
    if (url.host().isEmpty())
        return "The address names no host: write it as http://host:4318.";
    return std::nullopt;
}

std::string UsageSender::shownUrl(std::string_view endpoint)
{
    return QUrl(QString::fromStdString(logsUrl(endpoint))).toString(QUrl::RemovePassword).toStdString();
}

std::string UsageSender::logsUrl(std::string_view endpoint)
{
    QUrl url = parsed(endpoint);
    if (url.path().isEmpty() || url.path() == "/")
        url.setPath("/v1/logs");
    return url.toString(QUrl::FullyEncoded).toStdString();
}

} // namespace tallyglass
