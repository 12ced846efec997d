#include "dashboard/SceneList.h"

#include "dashboard/ReportLayout.h"
#include "ui/ScenePainter.h"
#include "ui/ThemeManager.h"

#include <QHelpEvent>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>

#include <cmath>

namespace tallyglass {

SceneList::SceneList(QWidget* parent)
    : QAbstractScrollArea(parent)
{
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setAutoFillBackground(false);
    setAttribute(Qt::WA_TranslucentBackground);
    viewport()->setAttribute(Qt::WA_TranslucentBackground);
    viewport()->setMouseTracking(true);
    restyle();
    connect(&ThemeManager::shared(), &ThemeManager::appearanceChanged, this, [this] { restyle(); });
}

// A thin bar in the palette's colours: the platform's would be a grey block on the dark palette.
void SceneList::restyle()
{
    const auto css = [](Rgba c) {
        return QString("rgba(%1,%2,%3,%4)").arg(int(c.r * 255)).arg(int(c.g * 255)).arg(int(c.b * 255)).arg(c.a);
    };
    const Palette& p = paletteFor(this);
    verticalScrollBar()->setStyleSheet(
        QString("QScrollBar:vertical { background: transparent; width: %2px; margin: 0; }"
                "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 24px; margin: 0 1px; }"
                "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }")
            .arg(css(p.textSubtle.withOpacity(0.5)))
            .arg(static_cast<int>(ReportLayout::listScrollBarWidth)));
}

void SceneList::showEvent(QShowEvent* event)
{
    QAbstractScrollArea::showEvent(event);
    restyle(); // the themed root is known once the list is in its window
}

void SceneList::setSource(Source source)
{
    const bool sameRows = source.rows == source_.rows;
    const int position = verticalScrollBar()->value();
    source_ = std::move(source);
    updateRange();
    verticalScrollBar()->setValue(sameRows ? position : 0);
    viewport()->update();
}

void SceneList::scrollToEnd()
{
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

std::pair<std::size_t, std::size_t> SceneList::visibleRows() const
{
    if (source_.rows == 0 || pitch() <= 0)
        return {0, 0};
    const double top = verticalScrollBar()->value();
    const auto first = static_cast<std::size_t>(std::max(0.0, std::floor(top / pitch())));
    const auto last = static_cast<std::size_t>(std::ceil((top + viewport()->height()) / pitch()));
    return {std::min(first, source_.rows), std::min(last, source_.rows)};
}

void SceneList::updateRange()
{
    const double content = static_cast<double>(source_.rows) * pitch() - source_.rowSpacing;
    verticalScrollBar()->setRange(0, std::max(0, static_cast<int>(std::ceil(content)) - viewport()->height()));
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setSingleStep(static_cast<int>(std::ceil(pitch())));
}

void SceneList::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateRange();
}

void SceneList::paintEvent(QPaintEvent*)
{
    if (!source_.build)
        return;
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const double top = verticalScrollBar()->value();
    const double width = viewport()->width();
    const auto [first, last] = visibleRows();
    for (std::size_t row = first; row < last; ++row) {
        painter.save();
        painter.translate(0, static_cast<double>(row) * pitch() - top);
        for (const Scene::Item& item : source_.build(row, width).items)
            ScenePainter::paintItem(painter, item);
        painter.restore();
    }
}

bool SceneList::viewportEvent(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && source_.help && pitch() > 0) {
        auto* help = static_cast<QHelpEvent*>(event);
        const double y = help->pos().y() + verticalScrollBar()->value();
        const auto row = static_cast<std::size_t>(std::max(0.0, y / pitch()));
        const double inRow = y - static_cast<double>(row) * pitch();
        const std::string text = row < source_.rows && inRow <= source_.rowHeight
            ? source_.help(row, help->pos().x(), viewport()->width())
            : std::string();
        if (text.empty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), QString::fromStdString(text), viewport());
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

} // namespace tallyglass
