#include "labeltext.h"

#include <QFontMetrics>
#include <QLabel>
#include <QString>
#include <QTextCursor>
#include <QTextDocument>

QString plainToolTip(const QString &text)
{
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}

void growToText(QLabel *label)
{
    const int width = qBound(label->minimumWidth(), label->sizeHint().width(), label->maximumWidth());
    label->resize(width, label->height());
}

namespace {
// Sets text in format and grows the label to it; true, with no tool tip left
// over, when it then shows whole.
bool grownWhole(QLabel *label, const QString &text, Qt::TextFormat format)
{
    label->setTextFormat(format);
    label->setText(text);
    growToText(label);
    if (label->sizeHint().width() > label->width())
        return false;
    label->setToolTip(QString());
    return true;
}
} // namespace

void showWholeText(QLabel *label, const QString &text)
{
    label->setProperty(wholeTextProperty, text);
    // Plain: a port name or version text with a "<" in it is shown as it is,
    // and is measured and cut as what it is.
    if (grownWhole(label, text, Qt::PlainText))
        return;
    const int room = label->contentsRect().width() - 2 * label->margin();
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, room));
    label->setToolTip(plainToolTip(text));
}

void showWholeRichText(QLabel *label, const QString &html)
{
    if (grownWhole(label, html, Qt::RichText))
        return;
    QTextDocument document;
    document.setDefaultFont(label->font());
    document.setHtml(html);
    const QString whole = document.toPlainText();
    QTextCursor cursor(&document);
    cursor.movePosition(QTextCursor::NextCharacter);
    const QTextCharFormat format = cursor.charFormat();
    const QFontMetrics metrics(format.font().resolve(label->font()));
    // Measured as the label lays it out, so cut until it fits there.
    for (int room = label->contentsRect().width() - 2 * label->margin(); room > 0; room -= 2) {
        cursor.select(QTextCursor::Document);
        cursor.insertText(metrics.elidedText(whole, Qt::ElideRight, room), format);
        label->setText(document.toHtml());
        if (label->sizeHint().width() <= label->width())
            break;
    }
    label->setToolTip(whole);
}
