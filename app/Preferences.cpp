#include "app/Preferences.h"

#include "app/Config.h"
#include "app/DataCheck.h"
#include "app/Logging.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLockFile>
#include <QSettings>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

bool readJson(QIODevice &device, QSettings::SettingsMap &map)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(device.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        // Reading as empty (rather than failing) lets the next write replace the file cleanly.
        qCWarning(lcSettings) << "Preferences file is not a JSON object, reading it as empty:"
                              << error.errorString();
        return true;
    }
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(it.key(), it.value().toVariant());
    return true;
}

bool writeJson(QIODevice &device, const QSettings::SettingsMap &map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), QJsonValue::fromVariant(it.value()));
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    return device.write(bytes) == bytes.size();
}

QSettings::Format jsonFormat()
{
    static const QSettings::Format format = QSettings::registerFormat(u"json"_s, readJson, writeJson);
    return format;
}

// Creates the folder (0700) and an empty file (0600) before the first write, so the token it
// will hold is never readable by others; the atomic writer keeps the permissions of the file it
// replaces.
void prepareFile(const QString &path)
{
    const QFileInfo info(path);
    QDir dir = info.absoluteDir();
    if (!dir.exists()) {
        dir.mkpath(u"."_s);
        ::chmod(QFile::encodeName(dir.absolutePath()).constData(), 0700);
    }
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
}

// QSettings locks "<file>.lock" around each write. A writer killed between creating that file and
// writing its process id into it leaves it empty, and QSettings waits 30 s before it counts such a
// file as stale: the next write would hang that long. An empty lock file is taken over once it
// is two seconds old; a lock file naming a live writer is waited for as QSettings would.
void takeOverAbandonedLock(const QString &settingsPath)
{
    const QString path = settingsPath + u".lock"_s;
    const QFileInfo info(path);
    if (!info.exists() || info.size() > 0)
        return;
    QLockFile lock(path);
    lock.setStaleLockTime(std::chrono::seconds(2));
    if (lock.tryLock(std::chrono::seconds(3)))
        lock.unlock();
}

struct Store
{
    QString path;
    std::unique_ptr<QSettings> settings;
    bool failed = false; // the last flush could not write the file
    bool memoryOnly = false;
    QVariantMap memory; // the store while memoryOnly
};

Store &current()
{
    static Store instance;
    return instance;
}

QSettings &store()
{
    Store &current = ::current();
    const QString path = Config::settingsFile();
    if (!current.settings || current.path != path) {
        current.settings.reset();
        current.failed = false;
        prepareFile(path);
        current.path = path;
        current.settings = std::make_unique<QSettings>(path, jsonFormat());
        current.settings->setFallbacksEnabled(false);
    }
    return *current.settings;
}

} // namespace

QVariant Preferences::value(const QString &key)
{
    if (current().memoryOnly)
        return current().memory.value(key);
    return store().value(key);
}

void Preferences::setValue(const QString &key, const QVariant &value)
{
    if (current().memoryOnly)
        current().memory.insert(key, value);
    else
        store().setValue(key, value);
}

void Preferences::remove(const QString &key)
{
    if (current().memoryOnly)
        current().memory.remove(key);
    else
        store().remove(key);
}

bool Preferences::flush()
{
    if (current().memoryOnly)
        return true;
    store();
    Store &current = ::current();
    if (current.failed) {
        // QSettings reports the first error it met for the rest of its life, even once its writes
        // succeed again: a fresh one, holding the same values, reports on this write alone. (Keys
        // another process added meanwhile are kept; a key removed here since the failure comes back.)
        QVariantMap values;
        const QStringList keys = current.settings->allKeys();
        for (const QString &key : keys)
            values.insert(key, current.settings->value(key));
        current.settings.reset();
        current.settings = std::make_unique<QSettings>(current.path, jsonFormat());
        current.settings->setFallbacksEnabled(false);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            current.settings->setValue(it.key(), it.value());
    }
    takeOverAbandonedLock(current.path);
    current.settings->sync();
    current.failed = current.settings->status() != QSettings::NoError;
    if (current.failed) {
        qCWarning(lcSettings) << "Could not write the preferences file" << current.settings->fileName();
        return false;
    }
    return true;
}

int Preferences::intValue(const QString &key)
{
    return DataCheck::intValue(value(key));
}

void Preferences::setMemoryOnly(bool on)
{
    Store &current = ::current();
    if (current.memoryOnly == on)
        return;
    if (on && current.settings)
        current.settings->sync(); // what was set before stays in the file
    current.settings.reset();
    current.failed = false;
    current.memory.clear();
    current.memoryOnly = on;
}

bool Preferences::isMemoryOnly()
{
    return current().memoryOnly;
}

void Preferences::reload()
{
    // Flushing first keeps what was set; the next access opens the configured file anew.
    if (current().settings)
        current().settings->sync();
    current().settings.reset();
    current().failed = false;
}
