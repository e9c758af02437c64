// A second process for the preferences tests: writes, dumps or hammers the store named by
// QUILLO_SETTINGS_FILE, so that the test can check what survives a restart or a kill.
#include "app/Preferences.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonValue>
#include <QTextStream>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString command = args.value(1);
    QTextStream out(stdout);

    if (command == u"write") {
        Preferences::setValue(u"string1"_s, u"1"_s);
        Preferences::setValue(u"number1"_s, 1);
        Preferences::setValue(u"double"_s, 2.5);
        Preferences::setValue(u"bool"_s, true);
        Preferences::setValue(u"chinese"_s, u"偏好设置"_s);
        Preferences::setValue(u"dictionary"_s, QVariantMap{{u"u_api_token"_s, u"tok"_s}, {u"n"_s, 3}});
        Preferences::setValue(u"array"_s, QVariantList{u"a"_s, 2, QVariantMap{{u"k"_s, u"v"_s}}});
        return Preferences::flush() ? 0 : 1;
    }
    if (command == u"dump") {
        for (const QString &key : args.mid(2)) {
            const QVariant value = Preferences::value(key);
            out << key << '\t' << (value.isValid() ? value.typeName() : "absent") << '\t'
                << QJsonDocument::fromVariant(QVariantList{value}).toJson(QJsonDocument::Compact) << '\n';
        }
        return 0;
    }
    if (command == u"hammer") {
        // Every write holds a blob whose every character is the write's number, so a torn
        // file is easy to tell from a whole one.
        for (int i = 0;; ++i) {
            const QChar mark = QChar(u'a' + i % 26);
            Preferences::setValue(u"counter"_s, i);
            Preferences::setValue(u"blob"_s, QString(256 * 1024, mark));
            Preferences::flush();
            if (i == 2) {
                out << "ready" << Qt::endl;
            }
        }
    }
    return 2;
}
