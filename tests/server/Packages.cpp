#include "tests/server/Packages.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

using namespace Qt::StringLiterals;

namespace {

bool run(const QString &program, const QStringList &arguments, const QString &workingDir, QString *error)
{
    QProcess process;
    process.setWorkingDirectory(workingDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = u"%1 failed: %2 %3"_s.arg(program, process.errorString(), QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray randomBytes(qint64 count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator *random = QRandomGenerator::global();
    for (qint64 i = 0; i + 4 <= count; i += 4) {
        const quint32 v = random->generate();
        std::memcpy(bytes.data() + i, &v, 4);
    }
    for (qint64 i = count - count % 4; i < count; ++i)
        bytes[i] = char(random->bounded(256));
    return bytes;
}

QString xmlEscape(const QString &text)
{
    return text.toHtmlEscaped();
}

} // namespace

QString Packages::makeApk(const QString &folder, const Identity &p, QString *error)
{
    const QString dir = folder + u"/apk-src"_s;
    QDir(dir).removeRecursively();
    const QString manifest = u"<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\" package=\"%1\" "
                             "android:versionCode=\"%2\" android:versionName=\"%3\">\n"
                             "  <application android:label=\"%4\" android:icon=\"@drawable/icon\"/>\n</manifest>\n"_s
                                 .arg(xmlEscape(p.id), xmlEscape(p.build), xmlEscape(p.version), xmlEscape(p.name));
    if (!writeFile(dir + u"/AndroidManifest.xml"_s, manifest.toUtf8())
        || !writeFile(dir + u"/assets/filler.bin"_s, randomBytes(p.fillerBytes))) {
        *error = u"cannot write the sources in "_s + dir;
        return {};
    }
    QDir().mkpath(dir + u"/res/drawable"_s);
    if (!run(u"convert"_s, {u"-size"_s, u"48x48"_s, u"xc:#2a7"_s, u"-strip"_s, u"png:res/drawable/icon.png"_s}, dir, error))
        return {};
    const QString out = folder + u'/' + p.id + u".apk"_s;
    QFile::remove(out);
    if (!run(u"aapt"_s, {u"package"_s, u"-f"_s, u"-M"_s, u"AndroidManifest.xml"_s, u"-S"_s, u"res"_s, u"-A"_s, u"assets"_s, u"-I"_s,
                        u"/usr/share/android-framework-res/framework-res.apk"_s, u"-F"_s, out},
             dir, error))
        return {};
    return out;
}

QString Packages::makeIpa(const QString &folder, const Identity &p, QString *error)
{
    const QString dir = folder + u"/ipa-src"_s;
    QDir(dir).removeRecursively();
    const QString app = dir + u"/Payload/"_s + p.name + u".app"_s;
    const QString plist = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                          "<plist version=\"1.0\"><dict>\n"
                          "<key>CFBundleIdentifier</key><string>%1</string>\n"
                          "<key>CFBundleShortVersionString</key><string>%2</string>\n"
                          "<key>CFBundleVersion</key><string>%3</string>\n"
                          "<key>CFBundleDisplayName</key><string>%4</string>\n"
                          "<key>CFBundleName</key><string>%4</string>\n"
                          "</dict></plist>\n"_s.arg(xmlEscape(p.id), xmlEscape(p.version), xmlEscape(p.build), xmlEscape(p.name));
    if (!writeFile(app + u"/Info.xml"_s, plist.toUtf8()) || !writeFile(app + u"/filler.bin"_s, randomBytes(p.fillerBytes))) {
        *error = u"cannot write the sources in "_s + dir;
        return {};
    }
    // The binary form, as Xcode writes it.
    if (!run(u"plistutil"_s, {u"-i"_s, u"Info.xml"_s, u"-o"_s, u"Info.plist"_s, u"-f"_s, u"bin"_s}, app, error)
        || !run(u"convert"_s, {u"-size"_s, u"60x60"_s, u"xc:#36c"_s, u"-strip"_s, u"png:Icon.png"_s}, app, error))
        return {};
    QFile::remove(app + u"/Info.xml"_s);
    const QString out = folder + u'/' + p.id + u".ipa"_s;
    QFile::remove(out);
    if (!run(u"zip"_s, {u"-q"_s, u"-r"_s, out, u"Payload"_s}, dir, error))
        return {};
    return out;
}

