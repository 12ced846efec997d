#include "settings/SettingsView.h"

#include "ui/AppSignals.h"
#include "core/WarningThresholds.h"
#include "server/UsageSender.h"
#include "storage/Preferences.h"
#include "ui/ThemeManager.h"
#include "ui/Controls.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace tallyglass {

namespace {

QLabel* roledLabel(QLabel* label, const char* role)
{
    label->setProperty("role", role);
    return label;
}

QWidget* row(const std::string& symbol, const QString& title, QLabel* subtitle, QWidget* control, QWidget* parent)
{
    auto* widget = new QWidget(parent);
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(0, 6, 0, 6);
    layout->setSpacing(10);
    auto* icon = new SymbolView(symbol, 20, widget);
    icon->setObjectName("rowSymbol");
    layout->addWidget(icon, 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout();
    texts->setSpacing(1);
    texts->addWidget(textLabel(title, 14, widget, true, Qt::AlignLeft));
    subtitle->setProperty("role", "muted");
    subtitle->setWordWrap(false); // rows keep one height whatever the hook state
    texts->addWidget(subtitle);
    layout->addLayout(texts, 1);
    layout->addWidget(control, 0, Qt::AlignVCenter);
    return widget;
}

} // namespace

SettingsView::SettingsView(SettingsActions actions, std::function<void()> onClose, QWidget* parent)
    : QWidget(parent)
    , actions_(std::move(actions))
    , onClose_(std::move(onClose))
{
    setFixedSize(windowWidth, windowHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 18, 18, 14);
    layout->setSpacing(4);
    layout->addWidget(textLabel("Settings", 18, this, true, Qt::AlignLeft));
    layout->addSpacing(8);
    layout->addWidget(hookRow());
    layout->addWidget(updatesRow());
    layout->addWidget(loginRow());
    layout->addWidget(themeRow());
    addWarningRows(layout);
    addSendingRows(layout);
    layout->addStretch(1);
    layout->addLayout(doneBar());

    connect(&AppSignals::shared(), &AppSignals::hookStateChanged, this, &SettingsView::refreshHook);
    connect(&ThemeManager::shared(), &ThemeManager::appearanceChanged, this, [this] { restyle(); });
    restyle();
}

QWidget* SettingsView::hookRow()
{
    hookButton_ = new QPushButton("Install", this);
    hookButton_->setProperty("role", "small");
    hookButton_->setAutoDefault(false);
    hookSubtitle_ = textLabel("Not installed \u2014 no events will be captured", 11, this, false, Qt::AlignLeft);
    connect(hookButton_, &QPushButton::clicked, this, [this] {
        if (actions_.toggleHook)
            actions_.toggleHook(); // the row changes when the change is announced
    });
    return row("link", "Claude Code Hook", hookSubtitle_, hookButton_, this);
}

QWidget* SettingsView::updatesRow()
{
    QLabel* updatesSubtitle = textLabel("Check for new versions automatically", 11, this, false, Qt::AlignLeft);
    QWidget* updates = row("arrow.triangle.2.circlepath", "Auto-Update", updatesSubtitle, updatesNote(this), this);
    updatesSubtitle->setWordWrap(true); // beside the note, in two lines rather than cut
    return updates;
}

QWidget* SettingsView::loginRow()
{
    login_ = new ToggleSwitch(this);
    login_->setChecked(actions_.launchAtLogin && actions_.launchAtLogin());
    connect(login_, &ToggleSwitch::toggled, this, [this](bool on) {
        if (actions_.setLaunchAtLogin)
            actions_.setLaunchAtLogin(on);
    });
    return row("power", "Launch at Login", textLabel("Start Tallyglass when you log in", 11, this, false, Qt::AlignLeft), login_, this);
}

QWidget* SettingsView::themeRow()
{
    theme_ = new MenuPicker(this);
    theme_->setFixedWidth(120);
    for (const auto& [label, preference] : {std::pair{"System", ThemePreference::system}, std::pair{"Dark", ThemePreference::dark},
                                            std::pair{"Light", ThemePreference::light}})
        theme_->addItem(label, static_cast<int>(preference));
    theme_->setCurrentIndex(theme_->findData(static_cast<int>(ThemeManager::shared().preference())));
    connect(theme_, &QComboBox::currentIndexChanged, this, [this](int index) {
        ThemeManager::shared().setPreference(static_cast<ThemePreference>(theme_->itemData(index).toInt()));
    });
    return row("paintpalette", "Theme", textLabel("Appearance across the app", 11, this, false, Qt::AlignLeft), theme_, this);
}

// The warnings' switch, their thresholds below it with the reason a text is
// refused, and the pace warning's own switch.
void SettingsView::addWarningRows(QVBoxLayout* layout)
{
    warnings_ = new ToggleSwitch(this);
    warnings_->setChecked(Preferences::shared().warningsEnabled());
    connect(warnings_, &ToggleSwitch::toggled, this, [this](bool on) {
        Preferences::shared().setWarningsEnabled(on);
        thresholds_->setEnabled(on);
        pace_->setEnabled(on);
    });
    layout->addWidget(row("bell", "Warnings", textLabel("Before the 5-hour and 7-day limits", 11, this, false, Qt::AlignLeft), warnings_,
                          this));
    auto* thresholdsRow = new QHBoxLayout();
    thresholdsRow->setContentsMargins(36, 0, 0, 0);
    thresholdsRow->setSpacing(8);
    thresholdsRow->addWidget(roledLabel(textLabel("At", 12, this, false, Qt::AlignLeft | Qt::AlignVCenter), "muted"));
    thresholds_ = new QLineEdit(QString::fromStdString(WarningThresholds::format(Preferences::shared().warningThresholds())), this);
    thresholds_->setFixedWidth(110);
    thresholds_->setEnabled(warnings_->isChecked());
    thresholds_->setToolTip("Whole percentages from 1 to 100, such as 80, 95");
    connect(thresholds_, &QLineEdit::editingFinished, this, [this] { takeThresholds(); });
    thresholdsRow->addWidget(thresholds_);
    thresholdsRow->addWidget(roledLabel(textLabel("% used", 12, this, false, Qt::AlignLeft | Qt::AlignVCenter), "muted"));
    thresholdsRow->addStretch(1);
    layout->addLayout(thresholdsRow);
    thresholdsError_ = textLabel("", 11, this, false, Qt::AlignLeft);
    thresholdsError_->setProperty("role", "error");
    thresholdsError_->setContentsMargins(36, 0, 0, 0);
    thresholdsError_->hide();
    layout->addWidget(thresholdsError_);
    auto* paceRow = new QHBoxLayout();
    paceRow->setContentsMargins(36, 0, 0, 0);
    paceRow->setSpacing(8);
    pace_ = new ToggleSwitch(this);
    pace_->setChecked(Preferences::shared().paceWarningEnabled());
    pace_->setEnabled(warnings_->isChecked());
    pace_->setToolTip("Once a window, from 50% used, when its pace reaches 100% at least 30 minutes before it resets");
    connect(pace_, &ToggleSwitch::toggled, this, [](bool on) { Preferences::shared().setPaceWarningEnabled(on); });
    auto* paceLabel = roledLabel(textLabel("When the pace reaches 100% early", 12, this, false, Qt::AlignLeft | Qt::AlignVCenter), "muted");
    paceLabel->setWordWrap(false);
    paceRow->addWidget(paceLabel, 1);
    paceRow->addWidget(pace_);
    layout->addLayout(paceRow);
}

// The collector this machine's usage goes to, with the reason an address is
// refused below it.
void SettingsView::addSendingRows(QVBoxLayout* layout)
{
    layout->addWidget(row("arrow.up.right", "Send usage to",
                          textLabel("This machine's messages, to an OTLP collector", 11, this, false, Qt::AlignLeft),
                          new QWidget(this), this));
    endpoint_ = new QLineEdit(QString::fromStdString(Preferences::shared().otlpEndpoint()), this);
    endpoint_->setPlaceholderText("Off — or http://collector:4318");
    endpoint_->setToolTip("An OpenTelemetry collector's address (OTLP over HTTP); empty sends nothing");
    connect(endpoint_, &QLineEdit::editingFinished, this, [this] { takeEndpoint(); });
    auto* fieldRow = new QHBoxLayout();
    fieldRow->setContentsMargins(36, 0, 0, 0);
    fieldRow->addWidget(endpoint_, 1);
    layout->addLayout(fieldRow);
    endpointError_ = textLabel("", 11, this, false, Qt::AlignLeft);
    endpointError_->setProperty("role", "error");
    endpointError_->setContentsMargins(36, 0, 0, 0);
    endpointError_->hide();
    layout->addWidget(endpointError_);
}

// An address that cannot be sent to is refused with the reason, and the one
// in use stays; an empty field stops the sending.
void SettingsView::takeEndpoint()
{
    const std::string text = endpoint_->text().trimmed().toStdString();
    if (!text.empty()) {
        if (const auto problem = UsageSender::endpointProblem(text)) {
            endpointError_->setText(QString::fromStdString(*problem));
            endpointError_->show();
            return;
        }
    }
    Preferences::shared().setOtlpEndpoint(text);
    endpoint_->setText(QString::fromStdString(text));
    endpointError_->hide();
}

QHBoxLayout* SettingsView::doneBar()
{
    auto* bar = new QHBoxLayout();
    bar->addStretch(1);
    done_ = new QPushButton("Done", this);
    done_->setDefault(true);
    done_->setAutoDefault(true);
    done_->setMinimumWidth(80);
    connect(done_, &QPushButton::clicked, this, [this] {
        if (onClose_)
            onClose_();
    });
    bar->addWidget(done_);
    return bar;
}

// Bad input is refused with the reason and the stored thresholds stay; good
// input is stored as it will be used: sorted, each once.
void SettingsView::takeThresholds()
{
    try {
        const auto thresholds = WarningThresholds::parse(thresholds_->text().toStdString());
        Preferences::shared().setWarningThresholds(thresholds);
        thresholds_->setText(QString::fromStdString(WarningThresholds::format(thresholds)));
        thresholdsError_->hide();
    } catch (const std::invalid_argument& error) {
        thresholdsError_->setText(QString::fromStdString(error.what()));
        thresholdsError_->show();
    }
}

void SettingsView::refreshHook()
{
    const bool installed = actions_.isHookInstalled && actions_.isHookInstalled();
    hookSubtitle_->setText(installed ? QString::fromUtf8("Installed \u2014 events flow to this app")
                                     : QString::fromUtf8("Not installed \u2014 no events will be captured"));
    hookButton_->setText(installed ? "Uninstall" : "Install");
}

void SettingsView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    restyle(); // inside its window now: the window's appearance
    refreshHook();
    login_->setChecked(actions_.launchAtLogin && actions_.launchAtLogin());
    // What was refused last time is gone: the field shows what is in use.
    thresholds_->setText(QString::fromStdString(WarningThresholds::format(Preferences::shared().warningThresholds())));
    thresholdsError_->hide();
    endpoint_->setText(QString::fromStdString(Preferences::shared().otlpEndpoint()));
    endpointError_->hide();
}

void SettingsView::paintEvent(QPaintEvent*)
{
    const Rgba& c = paletteFor(this).background;
    QPainter(this).fillRect(rect(), QColor::fromRgbF(static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b)));
}

void SettingsView::restyle()
{
    const Palette& p = paletteFor(this);
    setStyleSheet(QString("QLabel { color: %1; background: transparent; }"
                          "QLabel[role=\"muted\"] { color: %2; }"
                          "QLabel[role=\"error\"] { color: %8; }"
                          "QLineEdit { color: %1; background: %3; border: 1px solid %4; border-radius: 6px; padding: 3px 8px; }"
                          "QLineEdit:focus { border-color: %6; }"
                          "QLineEdit:disabled { color: %2; }"
                          "QPushButton { color: %1; background: %3; border: 1px solid %4; border-radius: 6px; padding: 4px 10px; }"
                          "QPushButton:hover { background: %5; }"
                          "QPushButton:pressed { background: %4; }"
                          "QPushButton:default { color: %9; background: %6; border: none; }"
                          "QPushButton:default:hover, QPushButton:default:pressed { background: %7; }"
                          "QComboBox QAbstractItemView { color: %1; background: %3; selection-background-color: %6; }")
                      .arg(css(p.textPrimary), css(p.textMuted), css(p.surfaceElevated), css(p.border), css(p.chartGridLine), css(p.accent),
                           css(Rgba{p.accent.r * 0.85, p.accent.g * 0.85, p.accent.b * 0.85, p.accent.a}), css(p.warning), css(p.onAccent)));
    for (auto* symbol : findChildren<SymbolView*>())
        symbol->setColour(p.accent);
    update();
}

SettingsWindowController::SettingsWindowController(SettingsActions actions, QObject* parent)
    : QObject(parent)
    , actions_(std::move(actions))
{
}

SettingsWindowController::~SettingsWindowController()
{
    delete window_;
}

void SettingsWindowController::show()
{
    if (!window_) {
        window_ = new QDialog(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        window_->setWindowTitle("Settings");
        window_->setModal(false);
        window_->setSizeGripEnabled(false);
        auto* layout = new QVBoxLayout(window_);
        layout->setContentsMargins(0, 0, 0, 0);
        QDialog* window = window_;
        view_ = new SettingsView(actions_, [window] { window->close(); }, window_);
        layout->addWidget(view_);
        window_->setFixedSize(SettingsView::windowWidth, SettingsView::windowHeight);
        ThemeManager::makeThemedRoot(window_);
    }
    if (!window_->isVisible()) {
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            window_->move(screen->availableGeometry().center() - window_->rect().center());
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

} // namespace tallyglass
