#pragma once

#include <QImage>
#include <QLabel>

// How a label shows its text, judged by its pixels: compared with two labels made like it (font,
// palette, size, alignment, wrapping, interaction), one told to show the same text as plain text,
// one as rich text. For texts that hold markup, so that the two differ. GUI tests only.
namespace ShownText {

enum class As { PlainText, Markup, Neither };

inline QImage rendered(const QLabel *shown, Qt::TextFormat format)
{
    QLabel reference;
    reference.setFont(shown->font());
    reference.setPalette(shown->palette());
    reference.setForegroundRole(shown->foregroundRole());
    reference.setBackgroundRole(shown->backgroundRole());
    reference.setAutoFillBackground(shown->autoFillBackground());
    reference.setAlignment(shown->alignment());
    reference.setWordWrap(shown->wordWrap());
    reference.setMargin(shown->margin());
    reference.setIndent(shown->indent());
    reference.setContentsMargins(shown->contentsMargins());
    reference.setTextInteractionFlags(shown->textInteractionFlags());
    reference.setTextFormat(format);
    reference.setText(shown->text());
    reference.resize(shown->size());
    // A label inside a window is grabbed with an alpha channel, one on its own without.
    return reference.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

inline As howShown(QLabel *label)
{
    const QImage shown = label->grab().toImage().convertToFormat(QImage::Format_RGB32);
    if (shown == rendered(label, Qt::PlainText))
        return As::PlainText;
    if (shown == rendered(label, Qt::RichText))
        return As::Markup;
    return As::Neither;
}

// True when the plain and the rich rendering of the label's text tell apart at its size, so that
// howShown() decides something.
inline bool isTelling(const QLabel *label)
{
    return rendered(label, Qt::PlainText) != rendered(label, Qt::RichText);
}

} // namespace ShownText
