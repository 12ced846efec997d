#include "ui/Alerts.h"

#include "core/Printable.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace tallyglass::Alerts {

namespace {

Presenter& presenter()
{
    static Presenter current;
    return current;
}

QPointer<QMessageBox>& waitedFor()
{
    static QPointer<QMessageBox> box;
    return box;
}

} // namespace

void setPresenter(Presenter replacement)
{
    presenter() = std::move(replacement);
}

static QMessageBox* makeBox(const std::string& title, const std::string& body)
{
    auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(title), QString::fromStdString(title),
                                QMessageBox::Ok);
    box->setInformativeText(QString::fromStdString(body));
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

void show(const std::string& title, const std::string& text)
{
    QTimer::singleShot(0, qApp, [title, body = Printable::escaped(text)] {
        if (presenter())
            presenter()(title, body);
        else
            makeBox(title, body)->open();
    });
}

void showAndWait(const std::string& title, const std::string& text)
{
    const std::string body = Printable::escaped(text);
    if (presenter()) {
        presenter()(title, body);
        return;
    }
    QMessageBox* box = makeBox(title, body);
    waitedFor() = box;
    box->exec();
}

void dismissWaiting()
{
    if (QMessageBox* box = waitedFor())
        box->done(QMessageBox::Ok);
}

} // namespace tallyglass::Alerts
