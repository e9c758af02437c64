#include "tests/support/Fixtures.h"

#include "tests/support/TestEnvironment.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

QString &errorText()
{
    static QString text;
    return text;
}

bool failWith(const QString &text)
{
    errorText() = text;
    return false;
}

QString xmlEscaped(const QString &text)
{
    return text.toHtmlEscaped();
}

// A nested value as property-list XML (strings, arrays and dictionaries).
QString plistXml(const QVariant &value)
{
    if (value.metaType().id() == QMetaType::QVariantList) {
        QString xml = u"<array>"_s;
        for (const QVariant &item : value.toList())
            xml += plistXml(item);
        return xml + u"</array>"_s;
    }
    if (value.metaType().id() == QMetaType::QVariantMap) {
        QString xml = u"<dict>"_s;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            xml += u"<key>"_s + xmlEscaped(it.key()) + u"</key>"_s + plistXml(it.value());
        return xml + u"</dict>"_s;
    }
    return u"<string>"_s + xmlEscaped(value.toString()) + u"</string>"_s;
}

QString plistEntry(const QString &key, const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::QVariantList:
    case QMetaType::QVariantMap:
        return key + u":xml="_s + plistXml(value);
    case QMetaType::Bool:
        return key + (value.toBool() ? u":true"_s : u":false"_s);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return key + u":integer="_s + value.toString();
    case QMetaType::Double:
        return key + u":real="_s + value.toString();
    default:
        return key + u'=' + value.toString();
    }
}

QString profileFormName(Fixtures::ProfileForm form)
{
    switch (form) {
    case Fixtures::ProfileForm::Signed:
        return u"signed"_s;
    case Fixtures::ProfileForm::Bare:
        return u"bare"_s;
    case Fixtures::ProfileForm::NoEnd:
        return u"no-end"_s;
    case Fixtures::ProfileForm::NoBegin:
        return u"no-begin"_s;
    case Fixtures::ProfileForm::Garbled:
        return u"garbled"_s;
    }
    return u"signed"_s;
}

// Writes an application folder's files below parent.
bool writeApp(const QString &parent, const Fixtures::App &app, QStringList *written)
{
    const QString folder = parent + u'/' + app.folder;
    if (!QDir().mkpath(folder))
        return failWith(u"cannot create "_s + folder);
    if (app.withPlist) {
        if (!Fixtures::makePlist(folder + u"/Info.plist"_s, app.info, app.binaryPlist))
            return false;
        if (written)
            written->append(app.folder + u"/Info.plist"_s);
    }
    if (app.withIcon) {
        if (!Fixtures::makeIcon(folder + u"/Icon.png"_s))
            return false;
        if (written)
            written->append(app.folder + u"/Icon.png"_s);
    }
    for (auto it = app.files.cbegin(); it != app.files.cend(); ++it) {
        QFile file(folder + u'/' + it.key());
        if (!QDir().mkpath(QFileInfo(file).absolutePath()) || !file.open(QIODevice::WriteOnly)
            || file.write(it.value()) != it.value().size())
            return failWith(u"cannot write "_s + file.fileName());
        if (written)
            written->append(app.folder + u'/' + it.key());
    }
    return true;
}

bool writeEntry(const QString &stage, const Fixtures::Entry &entry)
{
    const QString path = stage + u'/' + entry.name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!entry.linkTarget.isEmpty()) {
        if (!QFile::link(entry.linkTarget, path))
            return failWith(u"cannot link "_s + path);
        return true;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return failWith(file.errorString());
    if (entry.zeroBytes > 0) {
        if (!file.resize(entry.zeroBytes))
            return failWith(file.errorString());
    } else if (file.write(entry.content) != entry.content.size()) {
        return failWith(file.errorString());
    }
    file.close();
    if (entry.mode && ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(entry.mode)) != 0)
        return failWith(u"cannot chmod "_s + path);
    return true;
}

// Folders of a relative file name, outermost first ("a/b/c" → "a", "a/b").
QStringList parentsOf(const QString &name)
{
    QStringList parents;
    const QStringList parts = name.split(u'/');
    for (qsizetype i = 1; i < parts.size(); ++i)
        parents.append(parts.mid(0, i).join(u'/'));
    return parents;
}

void appendOnce(QStringList *list, const QStringList &items)
{
    for (const QString &item : items) {
        if (!list->contains(item))
            list->append(item);
    }
}

} // namespace

QString Fixtures::lastError()
{
    return errorText();
}

QString Fixtures::sha256Of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

QString Fixtures::sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QByteArray Fixtures::readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList Fixtures::filesBelow(const QString &folder)
{
    QStringList names;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        names.append(QDir(folder).relativeFilePath(it.next()));
    names.sort();
    return names;
}

QString Fixtures::script(const QString &name)
{
    return TestEnvironment::sourceDir() + u"/tests/fixtures/"_s + name;
}

bool Fixtures::run(const QString &scriptName, const QStringList &arguments, const QString &workingDirectory)
{
    QProcess process;
    process.setProgram(u"bash"_s);
    process.setArguments(QStringList{script(scriptName)} + arguments);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForFinished(15 * 60 * 1000)) {
        process.kill();
        process.waitForFinished();
        return failWith(scriptName + u" did not finish: "_s + process.errorString());
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return failWith(u"%1 %2 failed (%3): %4"_s.arg(scriptName, arguments.join(u' '))
                            .arg(process.exitCode())
                            .arg(QString::fromLocal8Bit(process.readAllStandardError())));
    }
    return true;
}

QVariantMap Fixtures::infoPlist(const QString &identifier, const QString &version, const QString &build,
                                const QString &name)
{
    return {{u"CFBundleIdentifier"_s, identifier},
            {u"CFBundleShortVersionString"_s, version},
            {u"CFBundleVersion"_s, build},
            {u"CFBundleDisplayName"_s, name},
            {u"CFBundleName"_s, name}};
}

bool Fixtures::makePlist(const QString &path, const QVariantMap &values, bool binary)
{
    QStringList arguments;
    if (binary)
        arguments << u"--binary"_s;
    arguments << path;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        arguments << plistEntry(it.key(), it.value());
    return run(u"make-plist.sh"_s, arguments);
}

bool Fixtures::makeIcon(const QString &path, int size, const QString &colour)
{
    return run(u"make-icon.sh"_s, {path, QString::number(size), colour});
}

bool Fixtures::makeCrushedIcon(const QString &path, int size, const QStringList &options, const QString &reference)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (qEnvironmentVariableIsEmpty("QUILLO_CRUSH_PNG"))
        qputenv("QUILLO_CRUSH_PNG", QFile::encodeName(TestEnvironment::binDir() + u"/crush-png"_s));
    QStringList arguments = options;
    arguments << path << QString::number(size);
    if (!reference.isEmpty())
        arguments << reference;
    return run(u"make-crushed-icon.sh"_s, arguments);
}

bool Fixtures::makeIpa(const QString &path, const QList<App> &apps, const IpaOptions &options)
{
    QTemporaryDir stage(TestEnvironment::root() + u"/stage-XXXXXX"_s);
    if (!stage.isValid())
        return failWith(u"cannot create a staging folder"_s);
    QStringList first;
    QStringList order;
    for (const Entry &entry : options.entries) {
        if (!writeEntry(stage.path(), entry))
            return false;
        QStringList names = parentsOf(entry.name);
        names.append(entry.name);
        appendOnce(entry.first ? &first : &order, names);
    }
    QStringList appOrder;
    for (const App &app : apps) {
        QStringList files;
        if (!writeApp(stage.path() + u"/Payload"_s, app, &files))
            return false;
        appendOnce(&appOrder, {u"Payload"_s, u"Payload/"_s + app.folder});
        for (const QString &file : std::as_const(files)) {
            QStringList names = parentsOf(u"Payload/"_s + file);
            names.append(u"Payload/"_s + file);
            appendOnce(&appOrder, names);
        }
    }
    QStringList all = first;
    appendOnce(&all, appOrder);
    appendOnce(&all, order);

    QStringList arguments;
    if (options.level >= 0)
        arguments << u"-%1"_s.arg(options.level);
    bool links = false;
    for (const Entry &entry : options.entries)
        links = links || !entry.linkTarget.isEmpty();
    if (links)
        arguments << u"--links"_s;
    arguments << QFileInfo(path).absoluteFilePath() << stage.path() << all;
    QDir().mkpath(QFileInfo(path).absolutePath());
    return run(u"make-zip.sh"_s, arguments);
}

bool Fixtures::makeApk(const QString &path, const Apk &apk)
{
    QStringList arguments{u"--package"_s, apk.package, u"--version-code"_s, apk.versionCode};
    if (apk.versionName)
        arguments << u"--version-name"_s << *apk.versionName;
    else
        arguments << u"--no-version-name"_s;
    if (apk.label)
        arguments << u"--label"_s << *apk.label;
    else
        arguments << u"--no-label"_s;
    for (auto it = apk.localizedLabels.cbegin(); it != apk.localizedLabels.cend(); ++it)
        arguments << u"--label-"_s + it.key() << it.value();
    if (apk.webp)
        arguments << u"--webp"_s;
    if (apk.adaptive)
        arguments << u"--adaptive"_s;
    if (apk.withIcon)
        arguments << u"--densities"_s << apk.densities.join(u',');
    else
        arguments << u"--no-icon"_s;
    arguments << QFileInfo(path).absoluteFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    return run(u"make-apk.sh"_s, arguments);
}

bool Fixtures::makeProfile(const QString &path, const QString &name, ProfileForm form)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return run(u"make-profile.sh"_s, {u"--form"_s, profileFormName(form), path, name});
}

bool Fixtures::makeArchive(const QString &dir, const Archive &archive)
{
    const QString applications = dir + u"/Products/Applications"_s;
    if (!writeApp(applications, archive.app, nullptr))
        return false;
    if (archive.profileName
        && !makeProfile(applications + u'/' + archive.app.folder + u"/embedded.mobileprovision"_s,
                        *archive.profileName, archive.profileForm))
        return false;
    if (archive.archiveInfo && !makePlist(dir + u"/Info.plist"_s, *archive.archiveInfo))
        return false;
    return true;
}

bool Fixtures::renameEntry(const QString &zipPath, const QString &from, const QString &to)
{
    return run(u"rename-entry.sh"_s, {zipPath, from, to});
}

QString Fixtures::fakeXcodebuild()
{
    return script(u"fake-xcodebuild.sh"_s);
}

namespace {
QString fakeLogPath()
{
    return TestEnvironment::root() + u"/fake-xcodebuild.args"_s;
}
QString fakePidsPath()
{
    return TestEnvironment::root() + u"/fake-xcodebuild.pids"_s;
}
} // namespace

void Fixtures::useFakeXcodebuild(const QString &mode)
{
    qputenv("QUILLO_XCODEBUILD", QFile::encodeName(fakeXcodebuild()));
    qputenv("QUILLO_FAKE_XCODEBUILD_MODE", mode.toUtf8());
    qputenv("QUILLO_FAKE_XCODEBUILD_LOG", QFile::encodeName(fakeLogPath()));
    qputenv("QUILLO_FAKE_XCODEBUILD_PIDS", QFile::encodeName(fakePidsPath()));
    QFile::remove(fakeLogPath());
    QFile::remove(fakePidsPath());
}

QList<qint64> Fixtures::fakeXcodebuildPids()
{
    QList<qint64> pids;
    for (const QByteArray &line : readAll(fakePidsPath()).split('\n')) {
        if (!line.trimmed().isEmpty())
            pids.append(line.trimmed().toLongLong());
    }
    return pids;
}

QStringList Fixtures::fakeXcodebuildArguments()
{
    QFile log(fakeLogPath());
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList arguments;
    const QList<QByteArray> parts = log.readAll().split('\0');
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) // the last part follows the final NUL
        arguments.append(QString::fromUtf8(parts.at(i)));
    return arguments;
}

QString Fixtures::cached(const QString &key, const std::function<bool(const QString &path)> &make)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    const QStringList scripts = QDir(TestEnvironment::sourceDir() + u"/tests/fixtures"_s)
                                    .entryList({u"*.sh"_s}, QDir::Files, QDir::Name);
    for (const QString &name : scripts) {
        QFile file(script(name));
        if (file.open(QIODevice::ReadOnly))
            hash.addData(file.readAll());
    }
    const QString root = TestEnvironment::buildDir() + u"/fixture-cache"_s;
    const QString version = QString::fromLatin1(hash.result().toHex().left(12));
    const QString path = root + u'/' + version + u'/' + key;
    if (QFileInfo(path).isFile())
        return path;
    // Fixtures made by older scripts are of no further use.
    const QStringList versions = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &other : versions) {
        if (other != version)
            QDir(root + u'/' + other).removeRecursively();
    }
    QDir().mkpath(root + u'/' + version);
    // Made under a name of this process's own, then renamed: parallel tests never see half a file.
    const QString partial = root + u'/' + version + u"/partial-"_s + QString::number(QCoreApplication::applicationPid())
                            + u'-' + key;
    QFile::remove(partial);
    if (!make(partial) || !QFile::rename(partial, path)) {
        QFile::remove(partial);
        return QFileInfo(path).isFile() ? path : QString();
    }
    return path;
}
