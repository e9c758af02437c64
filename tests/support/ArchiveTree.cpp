#include "tests/support/ArchiveTree.h"

#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

QString &errorText()
{
    static QString text;
    return text;
}

bool fail(const QString &why)
{
    errorText() = why;
    return false;
}

QString templateArchive()
{
    static QString path;
    if (path.isEmpty()) {
        const QString candidate = TestEnvironment::path(u"archive-template/Demo.xcarchive"_s);
        if (Fixtures::makeArchive(candidate))
            path = candidate;
        else
            errorText() = Fixtures::lastError();
    }
    return path;
}

bool copyTree(const QString &from, const QString &to)
{
    if (!QDir().mkpath(to))
        return fail(u"cannot create "_s + to);
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        if (it.fileInfo().isDir()) {
            if (!QDir().mkpath(target))
                return fail(u"cannot create "_s + target);
        } else if (!QFile::copy(source, target)) {
            return fail(u"cannot copy "_s + source);
        }
    }
    return true;
}

QByteArray escaped(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

} // namespace

QString ArchiveTree::lastError()
{
    return errorText();
}

bool ArchiveTree::setModified(const QString &path, const QDateTime &when)
{
    const qint64 ms = when.toMSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time_t(ms / 1000);
    times[0].tv_nsec = times[1].tv_nsec = long(ms % 1000) * 1000000L;
    if (::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) != 0)
        return fail(u"cannot set the time of "_s + path);
    return true;
}

bool ArchiveTree::make(const QString &archiveDir, const Layout &fixture)
{
    const QString source = templateArchive();
    if (source.isEmpty())
        return false;
    if (QFileInfo::exists(archiveDir))
        return fail(archiveDir + u" exists already"_s);
    if (!copyTree(source, archiveDir))
        return false;

    const QString app = archiveDir + u"/Products/Applications/Demo.app"_s;
    if (!fixture.withIcon)
        QFile::remove(app + u"/Icon.png"_s);
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                     "<plist version=\"1.0\">\n<dict>\n";
    auto entry = [&xml](const char *key, const QString &value) {
        if (!value.isEmpty())
            xml += "\t<key>" + QByteArray(key) + "</key>\n\t<string>" + escaped(value) + "</string>\n";
    };
    entry("CFBundleIdentifier", fixture.identifier);
    entry("CFBundleShortVersionString", fixture.version);
    entry("CFBundleVersion", fixture.build);
    entry("CFBundleDisplayName", fixture.name);
    entry("CFBundleName", fixture.name);
    xml += "</dict>\n</plist>\n";
    QSaveFile plist(app + u"/Info.plist"_s);
    if (!plist.open(QIODevice::WriteOnly) || plist.write(xml) != xml.size() || !plist.commit())
        return fail(u"cannot write the Info.plist of "_s + archiveDir);

    return setModified(archiveDir, fixture.modified.isValid() ? fixture.modified : QDateTime::currentDateTime());
}
