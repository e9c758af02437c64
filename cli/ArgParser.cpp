#include "cli/ArgParser.h"

#include <optional>

using namespace Qt::StringLiterals;

ArgParser::ArgParser(QList<Option> options)
    : m_options(std::move(options))
{
    if (!find(u"help"_s))
        m_options.append({ u"help"_s, false, u'h' });
}

const ArgParser::Option *ArgParser::find(const QString &name) const
{
    for (const Option &option : m_options) {
        if (option.name == name)
            return &option;
    }
    return nullptr;
}

const ArgParser::Option *ArgParser::findShort(QChar name) const
{
    for (const Option &option : m_options) {
        if (!option.shortName.isNull() && option.shortName == name)
            return &option;
    }
    return nullptr;
}

bool ArgParser::parse(const QStringList &arguments)
{
    m_values.clear();
    m_positional.clear();
    m_error.clear();
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == u"--"_s) {
            m_positional += arguments.mid(i + 1);
            break;
        }
        const Option *option = nullptr;
        QString shown = argument;
        std::optional<QString> inlineValue;
        if (argument.startsWith(u"--"_s)) {
            QString name = argument.mid(2);
            if (const qsizetype equals = name.indexOf(u'='); equals >= 0) {
                inlineValue = name.mid(equals + 1);
                name.truncate(equals);
                shown = u"--"_s + name;
            }
            option = find(name);
        } else if (argument.size() == 2 && argument.at(0) == u'-' && argument.at(1) != u'-') {
            option = findShort(argument.at(1));
        } else {
            // "-" alone (standard input) and anything without a leading dash.
            if (argument.size() > 1 && argument.startsWith(u'-')) {
                m_error = u"未知选项“%1”"_s.arg(argument);
                return false;
            }
            m_positional.append(argument);
            continue;
        }
        if (!option) {
            m_error = u"未知选项“%1”"_s.arg(shown);
            return false;
        }
        if (!option->takesValue) {
            if (inlineValue) {
                m_error = u"选项“%1”不带值"_s.arg(shown);
                return false;
            }
            m_values.insert(option->name, QString());
            continue;
        }
        if (inlineValue) {
            m_values.insert(option->name, *inlineValue);
            continue;
        }
        if (i + 1 >= arguments.size()) {
            m_error = u"选项“%1”需要一个值"_s.arg(shown);
            return false;
        }
        m_values.insert(option->name, arguments.at(++i));
    }
    return true;
}
