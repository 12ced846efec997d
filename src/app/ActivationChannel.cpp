#include "app/ActivationChannel.h"

#include "app/AppPaths.h"
#include "core/Log.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <cstdlib>
#include <sys/stat.h>

namespace tallyglass {

namespace {

// One line each way: a request, and the answer once it has been acted on.
constexpr char showReportRequest[] = "show-report\n";
constexpr char acceptedAnswer[] = "ok\n";
// Longer lines are no request of ours; they are not read on.
constexpr qint64 longestRequest = 64;

QString nativePath(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}

// Another process of this user answers there now (and keeps its socket).
bool someoneAnswers(const std::filesystem::path& path)
{
    QLocalSocket probe;
    probe.connectToServer(nativePath(path));
    const bool connected = probe.waitForConnected(500);
    probe.abort();
    return connected;
}

// The folder the socket goes in, made owner-only when this program makes it.
bool prepareFolder(const std::filesystem::path& folder)
{
    std::error_code failed;
    if (std::filesystem::is_directory(folder, failed))
        return true;
    std::filesystem::create_directories(folder.parent_path(), failed);
    return ::mkdir(folder.c_str(), 0700) == 0 || std::filesystem::is_directory(folder, failed);
}

} // namespace

ActivationChannel::ActivationChannel(std::filesystem::path path, std::function<void()> onShowReport, QObject* parent)
    : QObject(parent)
    , path_(std::move(path))
    , onShowReport_(std::move(onShowReport))
    , server_(new QLocalServer(this))
{
    if (!prepareFolder(path_.parent_path())) {
        Log::line("cannot make " + path_.parent_path().string() + "; a second start cannot reach this one");
        return;
    }
    if (someoneAnswers(path_)) {
        Log::line("another process answers at " + path_.string() + "; a second start cannot reach this one");
        return;
    }
    QLocalServer::removeServer(nativePath(path_)); // left by a process that ended without removing it
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(nativePath(path_))) {
        Log::line("cannot listen at " + path_.string() + ": " + server_->errorString().toStdString());
        return;
    }
    connect(server_, &QLocalServer::newConnection, this, [this] { answer(); });
}

ActivationChannel::~ActivationChannel()
{
    if (server_->isListening())
        server_->close(); // removes the socket file, so the next start finds nobody there
}

bool ActivationChannel::isListening() const
{
    return server_->isListening();
}

void ActivationChannel::answer()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > longestRequest)
                    socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(longestRequest);
            if (line == showReportRequest && onShowReport_) {
                onShowReport_();
                socket->write(acceptedAnswer);
            }
            socket->disconnectFromServer();
        });
    }
}

std::filesystem::path ActivationChannel::defaultPath()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::filesystem::path(runtime) / "tallyglass.socket";
    return AppPaths::configDirectory() / "run" / "tallyglass.socket";
}

bool ActivationChannel::requestShowReport(const std::filesystem::path& path, std::chrono::milliseconds timeout)
{
    QLocalSocket socket;
    socket.connectToServer(nativePath(path));
    const int waitMs = static_cast<int>(timeout.count());
    if (!socket.waitForConnected(waitMs))
        return false;
    socket.write(showReportRequest);
    if (!socket.waitForBytesWritten(waitMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(waitMs))
            return false;
    }
    return socket.readLine(longestRequest) == acceptedAnswer;
}

} // namespace tallyglass
