// tsuprobe: a Qt generic plugin that the whole-program tests load into the
// real tessarine-uploader (-plugin tsuprobe, QT_PLUGIN_PATH=<build>/tests/probe).
// It reports what the user can see: every 20 ms it takes the visible top-level
// windows (class, title, a message box's text), the texts of the main
// window's status labels and the name of the application's window icon, and
// appends them as one JSON line to the file named by TSU_PROBE_LOG whenever
// they differ from the last line written. The timer runs on the GUI thread,
// so it also fires inside the update's own event processing and inside modal
// boxes and dialogs.
#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QGenericPlugin>
#include <QIcon>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
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
    void sample()
    {
        static const char *const labelNames[] = {"labelMIDIportName", "labelPercent", "labelMsg"};
        QJsonArray windows;
        QJsonObject labels;
        const QWidgetList topLevels = QApplication::topLevelWidgets();
        for (QWidget *window : topLevels) {
            if (!window->isVisible())
                continue;
            QJsonObject entry{{"class", window->metaObject()->className()}, {"title", window->windowTitle()}};
            if (auto *box = qobject_cast<QMessageBox *>(window))
                entry.insert("text", box->text());
            windows.append(entry);
            for (const char *name : labelNames) {
                auto *label = window->findChild<QLabel *>(QLatin1String(name));
                if (label && label->isVisible())
                    labels.insert(QLatin1String(name), label->text());
            }
        }
        // The window icon's name is set only for an icon found in an icon theme.
        const QJsonObject state{{"windows", windows}, {"labels", labels},
                                {"windowIcon", QApplication::windowIcon().name()}};
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
