#include "app/Alerts.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace tallyglass::Alerts {

namespace {

Presenter& presenter()
{
    static Presenter current;
    return current;
}

} // namespace

void setPresenter(Presenter replacement)
{
    presenter() = std::move(replacement);
}

void show(const std::string& title, const std::string& body)
{
    QTimer::singleShot(0, qApp, [title, body] {
        if (presenter()) {
            presenter()(title, body);
            return;
        }
        auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(title), QString::fromStdString(title),
                                    QMessageBox::Ok);
        box->setInformativeText(QString::fromStdString(body));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
}

} // namespace tallyglass::Alerts
