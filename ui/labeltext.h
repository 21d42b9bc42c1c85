// Texts that always show whole or visibly cut: a label keeps its place and
// grows to the right within the width it is allowed (its minimum and maximum
// width); text wider than that is cut with "…" and shown whole in the
// label's tool tip.
#pragma once

class QLabel;
class QString;

// Widens label, within its minimum and maximum width, to what its current
// text needs; a label whose text fits keeps its designed width.
void growToText(QLabel *label);

// Sets text as label's plain text: whole, or, where even the maximum width
// is too narrow, cut at the end with "…" and whole in the tool tip. The
// whole text is kept in the label's property wholeTextProperty.
void showWholeText(QLabel *label, const QString &text);
constexpr const char *wholeTextProperty = "tsuWholeText";

// The same for rich text (a title with its own colour and alignment): cut,
// the text keeps the format of its first character.
void showWholeRichText(QLabel *label, const QString &html);

// A tool tip that shows text as it is: Qt takes a tool tip that looks like
// markup for rich text, and a port name or version text may look so.
QString plainToolTip(const QString &text);
