#pragma once

#include <QObject>

namespace tallyglass {

// Application-wide notices that several windows observe.
class AppSignals final : public QObject {
    Q_OBJECT

public:
    static AppSignals& shared()
    {
        static AppSignals* instance = new AppSignals(); // lives as long as the application
        return *instance;
    }

signals:
    // The hook was installed or removed from the interface, or the onboarding
    // finished: whoever shows the hook's state asks again.
    void hookStateChanged();
};

} // namespace tallyglass
