// Icon images without an image toolkit: crushed PNGs decoded, WebP converted, sizes read from
// headers, bad input refused. Pixels are compared through ImageMagick and the PNGs written are
// checked by pngcheck, never by the decoder itself.

#include "inspect/IconImage.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QFile>
#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QByteArray runTool(const QString &program, const QStringList &arguments, bool *ok = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    const bool done
        = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (ok)
        *ok = done;
    if (!done)
        qWarning().noquote() << program << arguments << process.readAllStandardError();
    return process.readAllStandardOutput();
}

// Straight RGBA pixels of an image file, as ImageMagick reads it.
QByteArray rgbaOf(const QString &path)
{
    return runTool(u"convert"_s, { path, u"-depth"_s, u"8"_s, u"rgba:-"_s });
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Pixels that differ by more than un-premultiplying can explain: |c' - c| <= 255 / (2 a) + 1.
int differingPixels(const QByteArray &actual, const QByteArray &expected, bool withAlpha)
{
    if (actual.size() != expected.size() || actual.isEmpty())
        return -1;
    int bad = 0;
    for (qsizetype i = 0; i < actual.size(); i += 4) {
        const int alpha = withAlpha ? uchar(expected[i + 3]) : 255;
        if (uchar(actual[i + 3]) != alpha) {
            ++bad;
            continue;
        }
        const double tolerance = alpha ? 255.0 / (2 * alpha) + 1 : 255;
        for (int c = 0; c < 3; ++c)
            bad += qAbs(uchar(actual[i + c]) - uchar(expected[i + c])) > tolerance ? 1 : 0;
    }
    return bad;
}

// Writes a big-endian 32-bit number (a chunk's length, a width) at pos.
void setLength(QByteArray &png, qsizetype pos, quint32 length)
{
    png[pos] = char(length >> 24);
    png[pos + 1] = char(length >> 16);
    png[pos + 2] = char(length >> 8);
    png[pos + 3] = char(length);
}

} // namespace

class TestIconImage : public QObject
{
    Q_OBJECT

    QString path(const QString &name) const { return TestEnvironment::path(u"icons/"_s + name); }

private Q_SLOTS:
    // Both directions against the crusher: a crushed icon decodes to the picture it was made from,
    // and crushing the decoded picture again gives back the very same file.
    void crushedIconsRoundTrip_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("size");
        QTest::newRow("RGBA, every filter in turn") << QStringList() << 57;
        QTest::newRow("RGB") << QStringList { u"--rgb"_s } << 60;
        QTest::newRow("RGBA interlaced") << QStringList { u"--interlace"_s } << 37;
        QTest::newRow("RGB interlaced, tiny") << QStringList { u"--interlace"_s, u"--rgb"_s } << 3;
        QTest::newRow("Paeth only, IDAT in 100-byte chunks")
            << QStringList { u"--filter"_s, u"4"_s, u"--split"_s, u"100"_s } << 80;
        QTest::newRow("average only") << QStringList { u"--filter"_s, u"3"_s } << 33;
        QTest::newRow("zlib wrapper kept") << QStringList { u"--zlib"_s } << 20;
        QTest::newRow("one pixel") << QStringList() << 1;
    }
    void crushedIconsRoundTrip()
    {
        QFETCH(QStringList, options);
        QFETCH(int, size);
        const QString crushed = path(u"crushed.png"_s);
        const QString reference = path(u"reference.png"_s);
        QVERIFY2(Fixtures::makeCrushedIcon(crushed, size, options, reference), qPrintable(Fixtures::lastError()));
        const QByteArray bytes = Fixtures::readAll(crushed);
        const std::optional<IconImage::Header> header = IconImage::header(bytes.left(IconImage::HeaderBytes));
        QVERIFY(header && header->kind == IconImage::Kind::CrushedPng);
        QCOMPARE(header->width, quint32(size));

        QString error;
        const QByteArray png = IconImage::toPng(bytes, &error);
        QVERIFY2(!png.isEmpty(), qPrintable(error));
        const QString decoded = path(u"decoded.png"_s);
        QVERIFY(writeFile(decoded, png));
        bool valid = false;
        runTool(u"pngcheck"_s, { u"-q"_s, decoded }, &valid);
        QVERIFY2(valid, "pngcheck refuses the decoded PNG");
        QCOMPARE(differingPixels(rgbaOf(decoded), rgbaOf(reference), !options.contains(u"--rgb"_s)), 0);

        const QString raw = path(u"decoded.rgba"_s);
        QVERIFY(writeFile(raw, rgbaOf(decoded)));
        const QString again = path(u"again.png"_s);
        bool crushedAgain = false;
        runTool(TestEnvironment::binDir() + u"/crush-png"_s,
            options + QStringList { QString::number(size), QString::number(size), raw, again }, &crushedAgain);
        QVERIFY(crushedAgain);
        QCOMPARE(Fixtures::readAll(again), bytes);
    }

    // Sizes come from the first bytes; anything else is refused with a reason.
    void headers()
    {
        QVERIFY(Fixtures::makeIcon(path(u"plain.png"_s), 72));
        auto plain = IconImage::header(Fixtures::readAll(path(u"plain.png"_s)).left(IconImage::HeaderBytes));
        QVERIFY(plain && plain->kind == IconImage::Kind::Png && plain->width == 72 && plain->area() == 72 * 72);

        bool ok = false;
        runTool(u"cwebp"_s, { u"-quiet"_s, u"-lossless"_s, path(u"plain.png"_s), u"-o"_s, path(u"plain.webp"_s) }, &ok);
        QVERIFY(ok);
        auto webp = IconImage::header(Fixtures::readAll(path(u"plain.webp"_s)).left(IconImage::HeaderBytes));
        QVERIFY(webp && webp->kind == IconImage::Kind::Webp && webp->height == 72);

        QString error;
        QVERIFY(!IconImage::header("GIF89a............................", &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!IconImage::header(QByteArray(), &error));
    }

    // A lossless WebP becomes a PNG of exactly its pixels.
    void webpBecomesAnOrdinaryPng()
    {
        QVERIFY(Fixtures::makeCrushedIcon(path(u"c.png"_s), 48, {}, path(u"picture.png"_s)));
        bool ok = false;
        runTool(u"cwebp"_s,
            { u"-quiet"_s, u"-lossless"_s, u"-exact"_s, path(u"picture.png"_s), u"-o"_s, path(u"picture.webp"_s) },
            &ok);
        QVERIFY(ok);
        const QByteArray png = IconImage::toPng(Fixtures::readAll(path(u"picture.webp"_s)));
        QVERIFY(png.startsWith("\x89PNG"));
        QVERIFY(writeFile(path(u"from-webp.png"_s), png));
        QCOMPARE(rgbaOf(path(u"from-webp.png"_s)), rgbaOf(path(u"picture.png"_s)));
        // An ordinary PNG is kept as it is.
        const QByteArray plain = Fixtures::readAll(path(u"picture.png"_s));
        QCOMPARE(IconImage::toPng(plain), plain);
    }

    // Damaged crushed PNGs: an empty result with a reason, never a crash or a wrong picture.
    void damagedCrushedPngs_data()
    {
        QTest::addColumn<QString>("damage");
        for (const char *damage : { "IDAT length beyond the end", "stream cut in half", "100000 x 100000 header",
                 "no IHDR", "zero width", "only the signature", "colour type 7", "bad filter byte" })
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }
    void damagedCrushedPngs()
    {
        QFETCH(QString, damage);
        QVERIFY(Fixtures::makeCrushedIcon(path(u"victim.png"_s), 40));
        QByteArray bytes = Fixtures::readAll(path(u"victim.png"_s));
        const qsizetype ihdr = 8 + 12 + 4; // signature, CgBI chunk, then IHDR's length
        const qsizetype idat = bytes.indexOf("IDAT") - 4;
        if (damage == u"IDAT length beyond the end"_s)
            setLength(bytes, idat, 0x7fff0000);
        else if (damage == u"stream cut in half"_s)
            bytes.truncate(idat + (bytes.size() - idat) / 2);
        else if (damage == u"100000 x 100000 header"_s)
            setLength(bytes, ihdr + 4, 100000), setLength(bytes, ihdr + 8, 100000);
        else if (damage == u"no IHDR"_s)
            bytes.remove(ihdr - 4, 25);
        else if (damage == u"zero width"_s)
            setLength(bytes, ihdr + 4, 0);
        else if (damage == u"only the signature"_s)
            bytes.truncate(8);
        else if (damage == u"colour type 7"_s)
            bytes[ihdr + 13] = 7;
        else if (damage == u"bad filter byte"_s) {
            // The image data replaced by rows of zeros whose first filter byte is 9 (a zlib
            // stream, which the decoder takes as well).
            QByteArray body(40 * (1 + 40 * 4), '\0');
            body[0] = 9;
            const QByteArray zipped = qCompress(body).mid(4); // without Qt's size prefix
            bytes = bytes.left(idat) + QByteArray(4, '\0') + "IDAT" + zipped + QByteArray(4, '\0')
                + QByteArray("\0\0\0\0IEND\xae\x42\x60\x82", 12);
            setLength(bytes, idat, quint32(zipped.size()));
        }
        QString error;
        QCOMPARE(IconImage::toPng(bytes, &error), QByteArray());
        QVERIFY(!error.isEmpty());
    }

    // What the png fuzz target found: an ordinary PNG that ends after its IHDR chunk was passed on
    // as an icon; ordinary PNGs are now checked whole (rows naming filter 7 refused too).
    void fuzzFindings()
    {
        QString error;
        QCOMPARE(
            IconImage::toPng(QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAwAAAAMAYlQTg=="), &error), QByteArray());
        QVERIFY(!error.isEmpty());
        QByteArray body(2 * (1 + 2 * 3), '\0');
        body[0] = 7;
        QByteArray png = IconImage::writePng(2, 2, 3, QByteArray(12, '\x40'));
        QVERIFY(IconImage::checkPng(png));
        const qsizetype idat = png.indexOf("IDAT") - 4;
        const QByteArray zipped = qCompress(body).mid(4);
        png = png.left(idat) + QByteArray(4, '\0') + "IDAT" + zipped + QByteArray(4, '\0')
            + QByteArray("\0\0\0\0IEND\xae\x42\x60\x82", 12);
        setLength(png, idat, quint32(zipped.size()));
        QVERIFY(!IconImage::checkPng(png, &error));
        QVERIFY(error.contains(u"filter"_s));

        // A crushed grey-and-alpha image (passed through without swapping) whose rows name filter
        // 127 was passed on unchecked; it is refused now.
        const QByteArray grey = QByteArray::fromBase64(
            "iVBORw0KGgoAAAAEQ2dCSVAAIAIr1bN/AAAADUlIRFIAAAAJAAAACQgEAAABl5Y2hgAAAChJREFUY2CAAkYYgwlEMIMIFhBR79D/v/"
            "FAIVya"
            "gdFBwaMBrPDAgx0NIAxWLBgapkoAAAAoSURBVCxs7S0u7h7NzMzJ/f3749tgzaoM9xkyGD4y3GB4x/"
            "CWAQtgZGMXkRIXE7a3AAAAKElEQVQT"
            "dQkHcV693rOSSYpTQM1FRMQfhEFsZub/33/JML5l+f3t3s2bH58c2ZFoOAAAAChJREFUYnn78/"
            "uz1U9u9mMYxswuLsXOZ2DGIWDpAKJBfBTv"
            "ifCpmInxaVgL88mps5MAAAAoSURBVCqbcLMLSX/"
            "9+e7p2893z7z6dOPom093ToG9zMfwhUGG4TmDFsNtBgMi19hXAAAAKElEQVSGa2AaxAeJ"
            "w4Pm/c8vT7/8fPvow7cn159+vHf0wacHR+5+en78ybeP+DFBTgAAAARJREFUN0DyANHPKeAAAAAASUVORK5CYII=");
        QCOMPARE(IconImage::toPng(grey, &error), QByteArray());
        QVERIFY(error.contains(u"filter"_s));
    }
};

QTEST_GUILESS_MAIN(TestIconImage)
#include "tst_iconimage.moc"
