#include "onboarding/OnboardingView.h"

#include "core/Printable.h"
#include "ui/ThemeManager.h"
#include "ui/Controls.h"

#include <QApplication>
#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QWindow>

namespace tallyglass {

namespace {

QColor qcolour(const Rgba& c)
{
    return QColor::fromRgbF(static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b), static_cast<float>(c.a));
}

QLabel* roled(QLabel* label, const char* role)
{
    label->setProperty("role", role);
    return label;
}

// A card led by a symbol, as the hook step tells what it found.
QFrame* symbolCard(const char* symbol, const char* name, int margin, QWidget* parent, Qt::Alignment symbolAlignment = {})
{
    auto* card = new QFrame(parent);
    card->setProperty("role", "card");
    auto* row = new QHBoxLayout(card);
    row->setContentsMargins(14, margin, 14, margin);
    auto* mark = new SymbolView(symbol, 18, card);
    mark->setObjectName(name);
    row->addWidget(mark, 0, symbolAlignment);
    return card;
}

// Where no picture of the overlay comes with the program: a small dark card
// in the corner of a desktop, with a line chart in it.
class OverlayMockup final : public QWidget {
public:
    explicit OverlayMockup(QWidget* parent)
        : QWidget(parent)
    {
        setFixedSize(400, 200);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        const Palette& p = paletteFor(this);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF desk = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        painter.setPen(QPen(qcolour(p.border), 1));
        painter.setBrush(qcolour(p.surfaceElevated));
        painter.drawRoundedRect(desk, 10, 10);
        const Palette& dark = Palette::dark();
        const QRectF card(desk.right() - 12 - 150, desk.top() + 12, 150, 110);
        QLinearGradient fill(card.topLeft(), card.bottomRight());
        fill.setColorAt(0, qcolour(dark.backgroundGradientStart));
        fill.setColorAt(1, qcolour(dark.backgroundGradientEnd));
        painter.setBrush(fill);
        painter.setPen(QPen(qcolour(dark.border), 0.6));
        painter.drawRoundedRect(card, 8, 8);
        QPainterPath line;
        const QRectF plot = card.adjusted(12, 14, -12, -40);
        for (int i = 0; i <= 20; ++i) {
            const double x = plot.left() + plot.width() * i / 20.0;
            const double y = plot.bottom() - plot.height() * (1 - std::exp(-i / 8.0)) * (i / 20.0 + 0.3) / 1.3;
            if (i == 0)
                line.moveTo(x, y);
            else
                line.lineTo(x, y);
        }
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(qcolour(dark.accent), 1.6));
        painter.drawPath(line);
        painter.setPen(qcolour(dark.textMuted));
        QFont font = painter.font();
        font.setPixelSize(10);
        painter.setFont(font);
        painter.drawText(card.adjusted(8, 0, -8, -10), Qt::AlignHCenter | Qt::AlignBottom, "Overlay lives here");
    }
};

// Four dots, the current step's in the accent colour.
class StepDots final : public QWidget {
public:
    StepDots(const int& step, QWidget* parent)
        : QWidget(parent)
        , step_(step)
    {
        setFixedSize(OnboardingView::totalSteps * 16 - 8, 8);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        const Palette& p = paletteFor(this);
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        for (int i = 0; i < OnboardingView::totalSteps; ++i) {
            painter.setBrush(qcolour(i == step_ ? p.accent : p.textSubtle.withOpacity(0.4)));
            painter.drawEllipse(QRectF(i * 16, 0, 8, 8));
        }
    }

private:
    const int& step_;
};

QWidget* page(QWidget* parent, QVBoxLayout*& layout)
{
    auto* widget = new QWidget(parent);
    layout = new QVBoxLayout(widget);
    layout->setContentsMargins(40, 0, 40, 0);
    layout->setSpacing(12);
    return widget;
}

// A symbol with a title and a line or two, as a row of a card.
QWidget* infoRow(const std::string& symbol, const QString& title, const QString& detail, int detailSize, QWidget* parent,
                 QWidget* control = nullptr)
{
    auto* row = new QFrame(parent);
    row->setProperty("role", "card");
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(14, 10, 14, 10);
    layout->setSpacing(12);
    auto* icon = new SymbolView(symbol, 20, row);
    icon->setColour(paletteFor(parent).accent);
    icon->setObjectName("rowSymbol");
    layout->addWidget(icon, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout();
    texts->setSpacing(2);
    texts->addWidget(textLabel(title, 13, row, true, Qt::AlignLeft));
    texts->addWidget(roled(textLabel(detail, detailSize, row, false, Qt::AlignLeft), "muted"));
    layout->addLayout(texts, 1);
    if (control)
        layout->addWidget(control, 0, Qt::AlignVCenter);
    return row;
}

} // namespace

OnboardingView::OnboardingView(HookControls hook, std::function<void()> onComplete, std::function<void()> onExit, QWidget* parent)
    : QWidget(parent)
    , hook_(std::move(hook))
    , onComplete_(std::move(onComplete))
    , onExit_(std::move(onExit))
{
    setObjectName("onboarding");
    setFixedSize(520, 600);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 24, 0, 24);
    layout->setSpacing(0);
    layout->addStretch(1);
    steps_ = new QStackedWidget(this);
    for (QWidget* step : {welcomeStep(), hookStep(), overlayStep(), doneStep()}) {
        // A shorter step sits in the middle of the room the tallest one takes.
        auto* column = static_cast<QVBoxLayout*>(step->layout());
        column->insertStretch(0, 1);
        column->addStretch(1);
        steps_->addWidget(step);
    }
    layout->addWidget(steps_);
    layout->addSpacing(24);
    dots_ = new StepDots(step_, this);
    layout->addWidget(dots_, 0, Qt::AlignHCenter);
    auto* fade = new QGraphicsOpacityEffect(steps_);
    fade->setOpacity(1);
    steps_->setGraphicsEffect(fade);
    restyle();
    connect(&ThemeManager::shared(), &ThemeManager::appearanceChanged, this, [this] { restyle(); });
}

QPushButton* OnboardingView::primary(const QString& text, QWidget* parent)
{
    return new PrimaryButton(text, parent);
}

QWidget* OnboardingView::welcomeStep()
{
    QVBoxLayout* layout = nullptr;
    QWidget* widget = page(this, layout);
    auto* icon = new QLabel(widget);
    icon->setPixmap(QIcon(":/tallyglass.svg").pixmap(72, 72));
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    layout->addWidget(textLabel("Welcome to Tallyglass", 28, widget, true));
    layout->addWidget(roled(textLabel("Real-time token usage for Claude Code", 18, widget), "muted"));
    layout->addWidget(textLabel("Floating overlay shows your Claude Code token usage in real time, right on your desktop.", 14, widget));
    layout->addSpacing(6);
    layout->addWidget(infoRow("lock.shield.fill", QString::fromUtf8("100% local \u2014 nothing leaves your computer"),
                              "No servers, no telemetry, no internet. All data stays on this device.", 12, widget));
    layout->addWidget(infoRow("arrow.triangle.2.circlepath", "Enable auto-updates", "Check for new versions automatically", 11, widget,
                              updatesNote(widget)));
    layout->addSpacing(10);
    auto* start = primary("Get Started", widget);
    connect(start, &QPushButton::clicked, this, [this] { setStep(1); });
    layout->addWidget(start, 0, Qt::AlignHCenter);
    return widget;
}

QWidget* OnboardingView::hookStep()
{
    QVBoxLayout* layout = nullptr;
    QWidget* widget = page(this, layout);
    hookSymbol_ = new SymbolView("terminal.fill", 48, widget);
    layout->addWidget(hookSymbol_, 0, Qt::AlignHCenter);
    layout->addWidget(textLabel("Connect to Claude Code", 24, widget, true));
    layout->addWidget(roled(textLabel("Tallyglass needs a small hook in ~/.claude/settings.json to capture token events from Claude Code "
                                      "sessions.",
                                      14, widget),
                            "muted"));
    hookErrorLabel_ = roled(textLabel("", 12, widget), "error");
    hookErrorLabel_->setObjectName("hookError");
    hookErrorLabel_->hide();
    layout->addWidget(hookErrorLabel_);
    layout->addSpacing(6);

    // In the order showHookState() picks them by.
    hookBlocks_ = new QStackedWidget(widget);
    hookBlocks_->addWidget(hookInstalledBlock());
    hookBlocks_->addWidget(hookMissingBlock());
    hookBlocks_->addWidget(claudeCodeAbsentBlock());
    layout->addWidget(hookBlocks_);
    return widget;
}

// A block of the hook step sits flush in the step.
QWidget* OnboardingView::hookBlock(QVBoxLayout*& block)
{
    QWidget* widget = page(hookBlocks_, block);
    block->setContentsMargins(0, 0, 0, 0);
    return widget;
}

// The block's one action under what it says; "Exit" below it where the welcome cannot go on.
void OnboardingView::endHookBlock(QVBoxLayout* block, int spacing, QPushButton* action, bool withExit)
{
    block->addSpacing(spacing);
    block->addWidget(action, 0, Qt::AlignHCenter);
    if (withExit)
        block->addWidget(exitButton(action->parentWidget()), 0, Qt::AlignHCenter);
    block->addStretch(1);
}

QWidget* OnboardingView::hookInstalledBlock()
{
    QVBoxLayout* block = nullptr;
    QWidget* installed = hookBlock(block);
    auto* badge = symbolCard("checkmark.circle.fill", "successSymbol", 8, installed);
    badge->layout()->addWidget(textLabel("Hooks enabled", 14, badge, true, Qt::AlignLeft | Qt::AlignVCenter));
    block->addWidget(badge, 0, Qt::AlignHCenter);
    auto* next = primary("Continue", installed);
    connect(next, &QPushButton::clicked, this, [this] { setStep(2); });
    endHookBlock(block, 10, next, false);
    return installed;
}

// Not installed, Claude Code there.
QWidget* OnboardingView::hookMissingBlock()
{
    QVBoxLayout* block = nullptr;
    QWidget* missing = hookBlock(block);
    block->addWidget(roled(textLabel("The hook is required for Tallyglass to work. Without it, the app cannot receive token events "
                                     "from Claude Code.",
                                     12, missing),
                           "subtle"));
    auto* install = primary("Install Hook", missing);
    connect(install, &QPushButton::clicked, this, [this] { installHook(); });
    endHookBlock(block, 6, install, true);
    return missing;
}

// Not installed, no Claude Code.
QWidget* OnboardingView::claudeCodeAbsentBlock()
{
    QVBoxLayout* block = nullptr;
    QWidget* absent = hookBlock(block);
    auto* notice = symbolCard("exclamationmark.triangle.fill", "warningSymbol", 10, absent, Qt::AlignTop);
    auto* row = static_cast<QHBoxLayout*>(notice->layout());
    row->setSpacing(10);
    auto* texts = new QVBoxLayout();
    texts->addWidget(textLabel("Claude Code not detected", 13, notice, true, Qt::AlignLeft));
    texts->addWidget(roled(textLabel("~/.claude/ doesn't exist yet. Install Claude Code and run it at least once, then click Re-check.", 11,
                                     notice, false, Qt::AlignLeft),
                           "muted"));
    row->addLayout(texts, 1);
    block->addWidget(notice);
    auto* recheck = primary("Re-check", absent);
    connect(recheck, &QPushButton::clicked, this, [this] {
        refreshClaudeCodeDetection();
        showHookState();
    });
    endHookBlock(block, 6, recheck, true);
    return absent;
}

QPushButton* OnboardingView::exitButton(QWidget* parent)
{
    auto* exit = new QPushButton("Exit", parent);
    exit->setProperty("role", "plain");
    exit->setAutoDefault(false);
    exit->setCursor(Qt::PointingHandCursor);
    connect(exit, &QPushButton::clicked, this, [this] {
        if (onExit_)
            onExit_();
    });
    return exit;
}

QWidget* OnboardingView::overlayStep()
{
    QVBoxLayout* layout = nullptr;
    QWidget* widget = page(this, layout);
    auto* symbol = new SymbolView("macwindow.on.rectangle", 48, widget);
    symbol->setObjectName("accentSymbol");
    layout->addWidget(symbol, 0, Qt::AlignHCenter);
    layout->addWidget(textLabel("Meet your overlay", 24, widget, true));
    layout->addWidget(roled(textLabel("The chart lives in the top-right corner of your screen, follows you across workspaces and "
                                      "full-screen apps, and never steals focus.",
                                      14, widget),
                            "muted"));
    layout->addWidget(new OverlayMockup(widget), 0, Qt::AlignHCenter);
    layout->addSpacing(6);
    auto* next = primary("Continue", widget);
    connect(next, &QPushButton::clicked, this, [this] { setStep(3); });
    layout->addWidget(next, 0, Qt::AlignHCenter);
    return widget;
}

QWidget* OnboardingView::doneStep()
{
    QVBoxLayout* layout = nullptr;
    QWidget* widget = page(this, layout);
    auto* symbol = new SymbolView("checkmark.circle.fill", 48, widget);
    symbol->setObjectName("successSymbol");
    layout->addWidget(symbol, 0, Qt::AlignHCenter);
    layout->addWidget(textLabel("You're all set!", 24, widget, true));
    reopenHint_ = roled(textLabel(reopenHint(true), 14, widget), "muted");
    layout->addWidget(reopenHint_);
    layout->addSpacing(6);
    auto* finish = primary("Get Started", widget);
    connect(finish, &QPushButton::clicked, this, [this] {
        if (onComplete_)
            onComplete_();
    });
    layout->addWidget(finish, 0, Qt::AlignHCenter);
    return widget;
}

void OnboardingView::setStep(int step)
{
    step = std::clamp(step, 0, totalSteps - 1);
    if (step == step_ && steps_->currentIndex() == step)
        return;
    step_ = step;
    steps_->setCurrentIndex(step);
    dots_->update();
    auto* fade = new QPropertyAnimation(steps_->graphicsEffect(), "opacity", this);
    fade->setDuration(300);
    fade->setStartValue(0.0);
    fade->setEndValue(1.0);
    fade->setEasingCurve(QEasingCurve::InOutQuad);
    fade->start(QAbstractAnimation::DeleteWhenStopped);
}

void OnboardingView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    restyle(); // inside its window now: the window's appearance
    refresh();
}

QString OnboardingView::reopenHint(bool trayAvailable)
{
    // Without a tray the card's "…" menu is where the welcome comes back from.
    return QString("The overlay will appear in the top-right. Re-open this welcome anytime from the %1.")
        .arg(trayAvailable ? QString("tray menu") : QString::fromUtf8("card\u2019s menu"));
}

void OnboardingView::refresh()
{
    reopenHint_->setText(reopenHint(QSystemTrayIcon::isSystemTrayAvailable()));
    hookInstalled_ = hook_.isInstalled && hook_.isInstalled();
    refreshClaudeCodeDetection();
    showHookState();
}

void OnboardingView::refreshClaudeCodeDetection()
{
    claudeCodeInstalled_ = !hook_.claudeCodeInstalled || hook_.claudeCodeInstalled();
}

// An error says why and the button stays, to try again; nothing is logged.
void OnboardingView::installHook()
{
    hookError_.reset();
    try {
        if (hook_.install)
            hook_.install();
        hookInstalled_ = true;
    } catch (const std::exception& error) {
        hookError_ = error.what();
    }
    showHookState();
}

void OnboardingView::showHookState()
{
    const std::string symbol = hookInstalled_ ? "checkmark.circle.fill" : "terminal.fill";
    if (symbol != hookSymbol_->symbol()) {
        hookSymbol_->setSymbol(symbol);
        hookSymbol_->bounce();
    }
    hookSymbol_->setColour(hookInstalled_ ? paletteFor(this).success : paletteFor(this).accent);
    hookErrorLabel_->setText(hookError_ ? QString::fromStdString(Printable::escaped(*hookError_)) : QString()); // it may quote a path
    hookErrorLabel_->setVisible(hookError_.has_value());
    hookBlocks_->setCurrentIndex(hookInstalled_ ? 0 : claudeCodeInstalled_ ? 1 : 2);
}

// A press on the background and a move carry the window along; buttons take
// their own presses, so clicks on them still work. The window system moves it
// where it can (under Wayland no window may place itself); elsewhere the
// window follows the pointer.
void OnboardingView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    dragOffset_ = event->globalPosition().toPoint() - window()->pos();
    event->accept();
}

void OnboardingView::mouseMoveEvent(QMouseEvent* event)
{
    if (!dragOffset_ || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    if (QWindow* handle = window()->windowHandle(); handle && handle->startSystemMove()) {
        dragOffset_.reset(); // the window system has the pointer until the button goes up
        return;
    }
    window()->move(event->globalPosition().toPoint() - *dragOffset_);
    event->accept();
}

void OnboardingView::mouseReleaseEvent(QMouseEvent* event)
{
    dragOffset_.reset();
    QWidget::mouseReleaseEvent(event);
}

void OnboardingView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), qcolour(paletteFor(this).background));
}

void OnboardingView::restyle()
{
    const Palette& p = paletteFor(this);
    setStyleSheet(QString("QLabel { color: %1; background: transparent; }"
                          "QLabel[role=\"muted\"] { color: %2; }"
                          "QLabel[role=\"subtle\"] { color: %3; }"
                          "QLabel[role=\"error\"] { color: %4; }"
                          "QFrame[role=\"card\"] { background: %5; border: 1px solid %6; border-radius: 10px; }"
                          "QPushButton[role=\"plain\"] { color: %2; background: transparent; border: none; font-size: 13px; padding: 6px; }"
                          "QPushButton[role=\"plain\"]:hover { color: %1; }")
                      .arg(css(p.textPrimary), css(p.textMuted), css(p.textSubtle), css(p.warning), css(p.surfaceElevated), css(p.border)));
    for (auto* symbol : findChildren<SymbolView*>()) {
        if (symbol->objectName() == "successSymbol")
            symbol->setColour(p.success);
        else if (symbol->objectName() == "warningSymbol")
            symbol->setColour(p.warning);
        else
            symbol->setColour(p.accent);
    }
    if (hookSymbol_)
        hookSymbol_->setColour(hookInstalled_ ? p.success : p.accent);
    update();
}

} // namespace tallyglass
