#include "modalboxes.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QLabel>

BoxAnswerer::BoxAnswerer(Answer answer)
    : answer(std::move(answer))
{
    QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
    timer.start(5);
}

void BoxAnswerer::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box->property("tsuAnswered").toBool())
        return;
    box->setProperty("tsuAnswered", true);
    const auto *informative = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
    const SeenBox seen{box->windowTitle(), box->text(), box->informativeText(),
                       box->textFormat() == Qt::PlainText
                           && (!informative || informative->textFormat() == Qt::PlainText)};
    boxes.push_back(seen);
    seenInProcess.push_back(seen);
    if (onBox)
        onBox(seen);
    // Answered there already, as a user at the keyboard would.
    if (!box->isVisible())
        return;
    QAbstractButton *button = nullptr;
    if (answer)
        button = box->button(answer(seen));
    if (!button)
        button = box->defaultButton();
    if (!button && !box->buttons().isEmpty())
        button = box->buttons().first();
    if (button)
        button->click();
}
