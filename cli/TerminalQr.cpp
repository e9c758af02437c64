#include "cli/TerminalQr.h"

#include <qrencode.h>

#include <memory>

using namespace Qt::StringLiterals;

QList<QList<bool>> TerminalQr::modules(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString8bit(bytes.constData(), 0, QR_ECLEVEL_M), &QRcode_free);
    QList<QList<bool>> rows;
    if (!code)
        return rows;
    const int width = code->width;
    rows.reserve(width);
    for (int y = 0; y < width; ++y) {
        QList<bool> row;
        row.reserve(width);
        for (int x = 0; x < width; ++x)
            row.append(code->data[y * width + x] & 1);
        rows.append(row);
    }
    return rows;
}

QString TerminalQr::render(const QString &text, bool colours)
{
    const QList<QList<bool>> code = modules(text);
    if (code.isEmpty())
        return {};
    const int size = int(code.size());
    const int full = size + 2 * kQuietZone;
    // Light (ink) at a position of the padded square; the quiet zone is light.
    auto light = [&](int y, int x) {
        const int cy = y - kQuietZone;
        const int cx = x - kQuietZone;
        if (cy < 0 || cx < 0 || cy >= size || cx >= size)
            return true;
        return !code.at(cy).at(cx);
    };
    QString drawing;
    for (int y = 0; y < full; y += 2) {
        if (colours)
            drawing += u"\x1b[40;97m"_s;
        for (int x = 0; x < full; ++x) {
            const bool top = light(y, x);
            // An odd count of rows leaves a last half line with nothing below: the background.
            const bool bottom = y + 1 < full ? light(y + 1, x) : false;
            if (top && bottom)
                drawing += QChar(0x2588);
            else if (top)
                drawing += QChar(0x2580);
            else if (bottom)
                drawing += QChar(0x2584);
            else
                drawing += u' ';
        }
        if (colours)
            drawing += u"\x1b[0m"_s;
        drawing += u'\n';
    }
    return drawing;
}
