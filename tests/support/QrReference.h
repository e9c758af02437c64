#pragma once

// QR codes as the qrencode program draws them, to compare the program's own QR images with an
// encoder that is not the code under test (header only: QImage needs QtGui, which the core's test
// support does not link).
//
//     QString error;
//     const QImage expected = QrReference::encode(url, 4, 2, TestEnvironment::path(u"qr.png"_s), &error);
//     QVERIFY2(!expected.isNull(), qPrintable(error));
//     QCOMPARE(QrReference::differing(image, expected), 0);

#include <QImage>
#include <QProcess>
#include <QString>

namespace QrReference {

// The code of text in 8-bit mode at error correction M, each module moduleSize pixels, inside a
// quiet zone of margin modules, as qrencode writes it to file (a PNG). A null image, with the
// reason in *error, when qrencode is missing, fails or writes nothing readable.
inline QImage encode(const QString &text, int moduleSize, int margin, const QString &file, QString *error)
{
    QProcess qrencode;
    qrencode.start(QStringLiteral("qrencode"),
        { QStringLiteral("-8"), QStringLiteral("-l"), QStringLiteral("M"), QStringLiteral("-s"),
            QString::number(moduleSize), QStringLiteral("-m"), QString::number(margin), QStringLiteral("-o"), file,
            text });
    if (!qrencode.waitForFinished(10000) || qrencode.exitStatus() != QProcess::NormalExit || qrencode.exitCode() != 0) {
        *error = QStringLiteral("qrencode did not encode the text: ") + qrencode.errorString() + u' '
            + QString::fromLocal8Bit(qrencode.readAllStandardError());
        return {};
    }
    const QImage image(file);
    if (image.isNull())
        *error = QStringLiteral("qrencode wrote no readable image to ") + file;
    return image;
}

// Pixels that are dark in one image and light in the other; -1 when either image is null or their
// sizes differ.
inline int differing(const QImage &shown, const QImage &expected)
{
    if (shown.isNull() || expected.isNull() || shown.size() != expected.size())
        return -1;
    int count = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x)
            count += (qGray(shown.pixel(x, y)) < 128) != (qGray(expected.pixel(x, y)) < 128) ? 1 : 0;
    }
    return count;
}

// The share of dark pixels (a blank image, all light, is no QR code however it compares).
inline double darkShare(const QImage &image)
{
    if (image.isNull())
        return 0;
    int dark = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            dark += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
    }
    return double(dark) / (image.width() * image.height());
}

} // namespace QrReference
