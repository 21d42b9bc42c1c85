// tsuprobe: a Qt generic plugin that the whole-program tests and the
// demonstration load into the real tessarine-uploader (-plugin tsuprobe,
// QT_PLUGIN_PATH=<build>/tests/probe). It reports what the user can see:
// every 20 ms it takes the visible top-level windows (class, title, a message
// box's texts, device pixel ratio), the texts of the status labels and notes, every visible label and button text of the windows with whether it
// fits its widget's width and where the widget is, the active window, the
// widget with the keyboard focus, the name of the application's window icon,
// and the rows of a window's port list (with where each is drawn) and the one
// chosen, and appends them as one JSON line to the file named by
// TSU_PROBE_LOG whenever they differ from the last line written. The timer
// runs on the GUI thread, so it also fires inside the update's own event
// processing and inside modal boxes and dialogs. The driver
// (tests/tsudrive) clicks where it says the widgets are.
#include <QAbstractButton>
#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QGenericPlugin>
#include <QIcon>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimer>
#include <QWidget>

namespace {
class Probe : public QObject
{
public:
    explicit Probe(const QString &path) : log(path)
    {
        log.open(QIODevice::WriteOnly | QIODevice::Append);
        connect(&timer, &QTimer::timeout, this, &Probe::sample);
        timer.start(20);
    }

private:
    // Whether a label's or button's text has room in its widget's width: a
    // label's text as laid out against its width, a button's text against
    // the place its style draws the text in.
    static bool textFits(QWidget *widget)
    {
        if (auto *label = qobject_cast<QLabel *>(widget)) {
            // A label that wraps its lines has room when they fit its height.
            if (label->wordWrap())
                return label->heightForWidth(label->width()) <= label->height();
            return label->sizeHint().width() <= label->width();
        }
        auto *button = qobject_cast<QAbstractButton *>(widget);
        QStyleOptionButton option;
        option.initFrom(button);
        const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        return button->fontMetrics().horizontalAdvance(button->text()) <= room.width();
    }

    static QJsonArray texts(QWidget *window)
    {
        QJsonArray found;
        const QList<QWidget *> widgets = window->findChildren<QWidget *>();
        for (QWidget *widget : widgets) {
            auto *label = qobject_cast<QLabel *>(widget);
            auto *button = qobject_cast<QAbstractButton *>(widget);
            const QString text = label ? label->text() : button ? button->text() : QString();
            if (text.isEmpty() || !widget->isVisible())
                continue;
            // Where it is drawn in its window, in the window's own pixels.
            const QPoint at = widget->mapTo(window, QPoint(0, 0));
            found.append(QJsonObject{{"name", widget->objectName()},
                                     {"text", text},
                                     {"toolTip", widget->toolTip()},
                                     {"fits", textFits(widget)},
                                     {"x", at.x()},
                                     {"y", at.y()},
                                     {"width", widget->width()},
                                     {"height", widget->height()}});
        }
        return found;
    }

    void sample()
    {
        static const char *const labelNames[] = {"labelMIDIportName", "labelPercent", "labelMsg", "labelWaitNote",
                                                 "labelNoPort"};
        QJsonArray windows;
        QJsonObject labels;
        const QWidgetList topLevels = QApplication::topLevelWidgets();
        for (QWidget *window : topLevels) {
            if (!window->isVisible())
                continue;
            QJsonObject entry{{"class", window->metaObject()->className()},
                              {"title", window->windowTitle()},
                              {"devicePixelRatio", window->devicePixelRatioF()},
                              {"texts", texts(window)}};
            if (auto *box = qobject_cast<QMessageBox *>(window)) {
                entry.insert("text", box->text());
                entry.insert("informativeText", box->informativeText());
            }
            if (auto *list = window->findChild<QListWidget *>(QStringLiteral("listWidget"))) {
                QJsonArray rows, middles;
                for (int row = 0; row < list->count(); ++row) {
                    rows.append(list->item(row)->text());
                    const QRect place = list->visualItemRect(list->item(row));
                    middles.append(list->viewport()->mapTo(window, place.center()).y());
                }
                entry.insert("rows", rows);
                entry.insert("rowX", list->viewport()->mapTo(window, list->viewport()->rect().center()).x());
                // Where each row is drawn, in the window: its height follows the font.
                entry.insert("rowMiddles", middles);
                entry.insert("currentRow", list->currentRow());
            }
            windows.append(entry);
            for (const char *name : labelNames) {
                auto *label = window->findChild<QLabel *>(QLatin1String(name));
                if (label && label->isVisible())
                    labels.insert(QLatin1String(name), label->text());
            }
        }
        QWidget *active = QApplication::activeWindow();
        QWidget *focus = QApplication::focusWidget();
        // The window icon's name is set only for an icon found in an icon theme.
        const QJsonObject state{{"windows", windows},
                                {"labels", labels},
                                {"active", active ? active->metaObject()->className() : ""},
                                {"focus", focus ? focus->objectName() : ""},
                                {"windowIcon", QApplication::windowIcon().name()},
                                {"windowIconDrawn", !QApplication::windowIcon().pixmap(32, 32).isNull()}};
        const QByteArray line = QJsonDocument(state).toJson(QJsonDocument::Compact) + '\n';
        if (line == lastLine)
            return;
        lastLine = line;
        // Flushed at once: the test reads the file while the program runs (and
        // leaves a last line without its newline for the next read).
        log.write(line);
        log.flush();
    }

    QFile log;
    QTimer timer;
    QByteArray lastLine;
};
} // namespace

class TsuProbePlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "tsuprobe.json")

public:
    // The application keeps the returned object and deletes it when it ends.
    QObject *create(const QString &key, const QString &) override
    {
        const QString path = qEnvironmentVariable("TSU_PROBE_LOG");
        if (key.compare(QLatin1String("tsuprobe"), Qt::CaseInsensitive) != 0 || path.isEmpty())
            return nullptr;
        return new Probe(path);
    }
};

#include "tsuprobe.moc"
