#pragma once

#include "ui/Scene.h"

#include <QAbstractScrollArea>

#include <functional>
#include <string>

namespace tallyglass {

// A scrolling list of equal rows whose content the layout builds: only the
// rows in view are built and painted, so a year of days or thousands of
// sessions cost what a screenful costs.
class SceneList final : public QAbstractScrollArea {
public:
    struct Source {
        std::size_t rows = 0;
        double rowHeight = 12;
        double rowSpacing = 2;
        std::function<Scene::Layer(std::size_t row, double width)> build;
        std::function<std::string(std::size_t row, double x, double width)> help; // may be empty
    };

    explicit SceneList(QWidget* parent = nullptr);

    // Keeps the scroll position when the row count is unchanged.
    void setSource(Source source);
    const Source& source() const { return source_; }
    void scrollToEnd();
    // The rows in view at the scroll position, which are the ones a paint builds.
    std::pair<std::size_t, std::size_t> visibleRows() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void updateRange();
    void restyle();
    double pitch() const { return source_.rowHeight + source_.rowSpacing; }

    Source source_;
};

} // namespace tallyglass
