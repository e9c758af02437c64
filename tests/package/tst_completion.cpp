// quillo's shell completion as a shell runs it: bash with the bash-completion library, the
// completion file from resources/completion and the built quillo on PATH. The commands it offers
// are checked against the command line's own table of commands.
#include "cli/Cli.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>

using namespace Qt::StringLiterals;

namespace {

const QString kBashCompletion = u"/usr/share/bash-completion/bash_completion"_s;

QString completionFile(const QString &name)
{
    return TestEnvironment::sourceDir() + u"/resources/completion/"_s + name;
}

void touch(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
}

} // namespace

class CompletionTest : public QObject
{
    Q_OBJECT

    QString m_folder;

    // What bash offers for the last of words, sorted; the command line is typed in m_folder.
    QStringList complete(const QStringList &words)
    {
        const QString script = uR"(
            source "$BASH_COMPLETION" || exit 90
            source "$QUILLO_COMPLETION" || exit 91
            COMP_WORDS=("$@")
            COMP_CWORD=$(($# - 1))
            COMP_LINE="$*"
            COMP_POINT=${#COMP_LINE}
            complete -p quillo >/dev/null || exit 92
            _quillo quillo "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
            printf '%s\n' "${COMPREPLY[@]}")"_s;
        QProcess bash;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"PATH"_s, TestEnvironment::binDir() + u':' + environment.value(u"PATH"_s));
        environment.insert(u"BASH_COMPLETION"_s, kBashCompletion);
        environment.insert(u"QUILLO_COMPLETION"_s, completionFile(u"quillo.bash"_s));
        bash.setProcessEnvironment(environment);
        bash.setWorkingDirectory(m_folder);
        bash.start(u"bash"_s, QStringList { u"-c"_s, script, u"bash"_s } + words);
        if (!bash.waitForFinished(30000) || bash.exitCode() != 0) {
            qWarning().noquote() << "bash failed:" << bash.exitCode() << bash.readAllStandardError();
            return { u"<bash failed>"_s };
        }
        QStringList offered = QString::fromUtf8(bash.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        offered.sort();
        return offered;
    }

private slots:
    void initTestCase()
    {
        if (!QFile::exists(kBashCompletion))
            QFAIL("bash-completion is not installed (scripts/bootstrap.sh installs it)");
        m_folder = TestEnvironment::path(u"typing/x"_s).chopped(2);
        for (const QString &name : { u"a.apk"_s, u"b.ipa"_s, u"C.IPA"_s, u"notes.txt"_s, u"sub/inner.apk"_s })
            touch(m_folder + u'/' + name);
        QVERIFY(QDir().mkpath(m_folder + u"/App.xcarchive/Products"_s));
    }

    void commandsAreTheCommandLinesOwn()
    {
        QStringList expected = Cli::commandNames() << u"help"_s;
        expected.sort();
        QCOMPARE(complete({ u"quillo"_s, QString() }), expected);
        QCOMPARE(complete({ u"quillo"_s, u"check"_s }), QStringList { u"check-update"_s });
        QCOMPARE(complete({ u"quillo"_s, u"help"_s, u"up"_s }), QStringList { u"upload"_s });
        QCOMPARE(complete({ u"quillo"_s, u"--v"_s }), QStringList { u"--version"_s });
    }

    void optionsComeFromEachCommandsHelp()
    {
        const QStringList upload = complete({ u"quillo"_s, u"upload"_s, u"--"_s });
        for (const QString &option :
            { u"--notes-file"_s, u"--publish-range"_s, u"--no-public"_s, u"--json"_s, u"--quiet"_s, u"--help"_s })
            QVERIFY2(upload.contains(option), qPrintable(upload.join(u' ')));
        QVERIFY(!upload.contains(u"--email"_s)); // login's, not upload's
        QCOMPARE(complete({ u"quillo"_s, u"login"_s, u"--em"_s }), QStringList { u"--email"_s });
        QCOMPARE(complete({ u"quillo"_s, u"upload"_s, u"--publish-range"_s, QString() }),
            (QStringList { u"all"_s, u"invited"_s }));
        // An option's value is not completed with options.
        QCOMPARE(complete({ u"quillo"_s, u"upload"_s, u"--name"_s, u"--"_s }), QStringList());
    }

    void packageArgumentsArePackagesAndFolders()
    {
        const QStringList packages { u"C.IPA"_s, u"a.apk"_s, u"b.ipa"_s, u"App.xcarchive"_s, u"sub"_s };
        QStringList sorted = packages;
        sorted.sort();
        QCOMPARE(complete({ u"quillo"_s, u"upload"_s, QString() }), sorted);
        QCOMPARE(complete({ u"quillo"_s, u"inspect"_s, u"--json"_s, QString() }), sorted);
        QCOMPARE(complete({ u"quillo"_s, u"export"_s, QString() }), (QStringList { u"App.xcarchive"_s, u"sub"_s }));
        QCOMPARE(complete({ u"quillo"_s, u"upload"_s, u"sub/"_s }), QStringList { u"sub/inner.apk"_s });
        QCOMPARE(complete({ u"quillo"_s, u"upload"_s, u"--notes-file"_s, u"no"_s }), QStringList { u"notes.txt"_s });
    }

    void theZshCompletionParses()
    {
        QProcess zsh;
        zsh.start(u"zsh"_s, { u"-n"_s, completionFile(u"_quillo"_s) });
        QVERIFY2(zsh.waitForFinished(30000), qPrintable(zsh.errorString()));
        QCOMPARE(zsh.exitStatus(), QProcess::NormalExit);
        QVERIFY2(zsh.exitCode() == 0, zsh.readAllStandardError().constData());
    }
};

QUILLO_TEST_MAIN(CompletionTest)
#include "tst_completion.moc"
