#include "labeltext.h"

#include <QFontMetrics>
#include <QLabel>
#include <QString>

void growToText(QLabel *label)
{
    const int width = qBound(label->minimumWidth(), label->sizeHint().width(), label->maximumWidth());
    label->resize(width, label->height());
}

void showWholeText(QLabel *label, const QString &text)
{
    // Plain: a port name or version text with a "<" in it is shown as it is,
    // and is measured and cut as what it is.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    growToText(label);
    if (label->sizeHint().width() <= label->width()) {
        label->setToolTip(QString());
        return;
    }
    const int room = label->contentsRect().width() - 2 * label->margin();
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, room));
    label->setToolTip(text);
}
