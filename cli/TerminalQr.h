#pragma once

#include <QList>
#include <QString>

// A QR code drawn with text for a terminal, two module rows per line with the half-block
// characters ▀ ▄ █ and the blank. The drawing is meant for the usual light-on-dark terminal:
// the light modules (and the quiet zone of kQuietZone modules around the code) are the ink, the
// dark modules the background. With colours the background is set black and the ink bright white,
// so the code reads the same on any terminal.
class TerminalQr final
{
public:
    static constexpr int kQuietZone = 2;

    // The code's modules (true: dark), row by row, without the quiet zone; empty when the text
    // cannot be encoded.
    static QList<QList<bool>> modules(const QString &text);
    // The drawing, each line ending in a line feed; empty when the text cannot be encoded.
    static QString render(const QString &text, bool colours);
};
