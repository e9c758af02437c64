#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// The options of one command: "--name value", "--name=value", flags, short aliases ("-h"),
// positional arguments, and "--" after which everything is positional. A repeated option keeps
// its last value. Errors are texts for the user. Every command knows -h/--help.
class ArgParser final
{
public:
    struct Option
    {
        QString name; // without the dashes: "email"
        bool takesValue = false;
        QChar shortName; // 'h' for -h, or nothing
    };

    explicit ArgParser(QList<Option> options);

    // False with error() when the arguments do not fit the options.
    bool parse(const QStringList &arguments);
    QString error() const { return m_error; }

    bool isSet(const QString &name) const { return m_values.contains(name); }
    QString value(const QString &name) const { return m_values.value(name); }
    QStringList positional() const { return m_positional; }

private:
    const Option *find(const QString &name) const;
    const Option *findShort(QChar name) const;

    QList<Option> m_options;
    QMap<QString, QString> m_values;
    QStringList m_positional;
    QString m_error;
};
