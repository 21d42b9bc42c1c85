// Answers the modal message boxes that the code under test opens, the way a
// user would: find the active modal box and press one of its buttons.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <functional>
#include <ostream>
#include <vector>

// QString in GoogleTest's messages, as text.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

struct SeenBox
{
    QString title;
    QString text;
    QString informativeText;
    // Both texts are shown as plain text, as they are.
    bool plain = false;
};

class BoxAnswerer
{
public:
    // answer picks the button to press for a box; by default the box's own
    // default button, or its only one.
    using Answer = std::function<QMessageBox::StandardButton(const SeenBox &)>;

    explicit BoxAnswerer(Answer answer = nullptr);
    std::vector<SeenBox> boxes;
    // Every box any answerer of this process has seen, in order.
    static inline std::vector<SeenBox> seenInProcess;
    // Called when a box is seen, before it is answered (to look at the window
    // then, or to answer it itself: a box it closes is left alone).
    std::function<void(const SeenBox &)> onBox;

private:
    void poll();
    Answer answer;
    QTimer timer;
};
