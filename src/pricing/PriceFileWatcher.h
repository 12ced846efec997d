#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tallyglass {

// Keeps the user's price file in use while a long-running process runs: a
// change to it puts its list in use (PriceFile::apply) and asks for stored
// messages to be priced again. Both the file and its folder are watched,
// since editors save by renaming a new file over the old one, which a watch
// of the file alone stops following; a file made later is noticed the same
// way. A problem with the file is said once (on standard error) until it
// changes; the built-in list is used meanwhile and nothing stored changes.
class PriceFileWatcher : public QObject {
    Q_OBJECT
public:
    // `priceAgain` runs on this object's thread when the list in use changed.
    // Changes are read `settle` after the last one, so that an editor's
    // several writes of one save are read once.
    PriceFileWatcher(std::filesystem::path path, std::string shown, std::function<void()> priceAgain,
                     std::chrono::milliseconds settle = std::chrono::milliseconds(200), QObject* parent = nullptr);

signals:
    // After every reading of the file, whatever it found.
    void reread();

private:
    void watch();
    void readAgain();

    std::filesystem::path path_;
    std::string shown_;
    std::function<void()> priceAgain_;
    QFileSystemWatcher watcher_;
    QTimer settle_;
    std::optional<std::string> lastProblem_;
};

} // namespace tallyglass
