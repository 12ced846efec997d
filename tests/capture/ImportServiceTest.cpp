#include "capture/ImportService.h"

#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;

// An import whose runs each wait until the test lets them go.
class GatedImport final : public ScanRunning {
public:
    std::atomic<int> runs{0};
    std::mutex mutex;
    std::condition_variable wake;
    int allowed = 0;

    std::int64_t scanAll(const Progress& progress) override
    {
        ++runs;
        std::unique_lock lock(mutex);
        wake.wait(lock, [this] { return allowed > 0; });
        --allowed;
        progress(1, 1);
        return 1;
    }
    void letGo(int count)
    {
        {
            std::lock_guard lock(mutex);
            allowed += count;
        }
        wake.notify_all();
    }
};

// Runs asked for while one is under way are not dropped, nor run once each:
// one more follows. A pause of the whole process (a stop signal) is seen on the
// clock's next look, and runs the import, which reads what came meanwhile.
TEST(ImportService, runsAskedForMeanwhileFollowOnceAndAPauseOfTheProcessRunsIt)
{
    test::qtApp();
    auto import = std::make_shared<GatedImport>();
    ImportService service(import);
    int finished = 0;
    QObject::connect(&service, &ImportService::finished, [&] { ++finished; });
    service.run();
    ASSERT_TRUE(test::waitUntil([&] { return import->runs == 1; }));
    service.run();
    service.run();
    import->letGo(3);
    ASSERT_TRUE(test::waitUntil([&] { return finished == 2; }));
    EXPECT_EQ(import->runs, 2);
    EXPECT_FALSE(service.lastOutcome()->error);

    auto now = std::chrono::steady_clock::time_point{};
    service.runAfterPauses(1h, 5s, [&] { return now; });
    now += 1h + 4s; // a tick a little late: no pause
    service.lookAtTheClock();
    now += 1h + 6s;
    service.lookAtTheClock();
    ASSERT_TRUE(test::waitUntil([&] { return finished == 3; }));
    EXPECT_EQ(import->runs, 3);
}

} // namespace
} // namespace tallyglass
