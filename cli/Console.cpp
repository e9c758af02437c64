#include "cli/Console.h"

#include "app/OpenableUrl.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <csignal>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The terminal state to put back when a signal ends the program while echo is off. Only the
// async-signal-safe tcsetattr() runs in the handler.
struct SavedTerminal
{
    int fd = -1;
    termios attributes {};
};
SavedTerminal g_savedTerminal;
volatile sig_atomic_t g_echoOff = 0;

void restoreTerminalAndReraise(int signal)
{
    if (g_echoOff)
        ::tcsetattr(g_savedTerminal.fd, TCSANOW, &g_savedTerminal.attributes);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Turns the echo of a terminal off for its lifetime; the line end the user types is still shown
// (ECHONL), so the next output starts on a line of its own.
class EchoOff final
{
public:
    explicit EchoOff(int fd)
    {
        if (::tcgetattr(fd, &m_saved) != 0)
            return;
        termios quiet = m_saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        g_savedTerminal.fd = fd;
        g_savedTerminal.attributes = m_saved;
        struct sigaction action
        {
        };
        action.sa_handler = restoreTerminalAndReraise;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; ++i)
            ::sigaction(kSignals[i], &action, &m_previous[i]);
        g_echoOff = 1;
        if (::tcsetattr(fd, TCSAFLUSH, &quiet) != 0) {
            restoreHandlers();
            return;
        }
        m_fd = fd;
    }
    ~EchoOff()
    {
        if (m_fd < 0)
            return;
        ::tcsetattr(m_fd, TCSANOW, &m_saved);
        restoreHandlers();
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

private:
    void restoreHandlers()
    {
        g_echoOff = 0;
        for (int i = 0; i < 3; ++i)
            ::sigaction(kSignals[i], &m_previous[i], nullptr);
    }

    static constexpr int kSignals[3] = { SIGINT, SIGTERM, SIGHUP };
    int m_fd = -1;
    termios m_saved {};
    struct sigaction m_previous[3] {};
};

// While the program waits for the user's input, Ctrl-C ends it at once, as at any prompt: the
// program's own handler only flags the event loop, which does not run during a blocking read.
// Left alone while the echo is off: that handler puts the terminal back first.
class DefaultSignalsWhileReading final
{
public:
    explicit DefaultSignalsWhileReading(bool active)
    {
        if (!active || g_echoOff)
            return;
        struct sigaction fallback
        {
        };
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(SIGINT, &fallback, &m_previous[0]);
        ::sigaction(SIGTERM, &fallback, &m_previous[1]);
        m_active = true;
    }
    ~DefaultSignalsWhileReading()
    {
        if (!m_active)
            return;
        ::sigaction(SIGINT, &m_previous[0], nullptr);
        ::sigaction(SIGTERM, &m_previous[1], nullptr);
    }
    DefaultSignalsWhileReading(const DefaultSignalsWhileReading &) = delete;
    DefaultSignalsWhileReading &operator=(const DefaultSignalsWhileReading &) = delete;

private:
    bool m_active = false;
    struct sigaction m_previous[2] {};
};

QString withoutLineEnd(QByteArray line)
{
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

const char *toneCode(Console::Tone tone)
{
    switch (tone) {
    case Console::Tone::Error:
        return "\x1b[31m";
    case Console::Tone::Warning:
        return "\x1b[33m";
    case Console::Tone::Success:
        return "\x1b[32m";
    case Console::Tone::Emphasis:
        return "\x1b[1m";
    case Console::Tone::Plain:
        break;
    }
    return "";
}

} // namespace

Console::Console(QIODevice *input, QIODevice *output, QIODevice *error)
    : Console(input, output, error, -1)
{ }

Console::Console(QIODevice *input, QIODevice *output, QIODevice *error, int inputFd)
    : m_input(input)
    , m_out(output)
    , m_err(error)
    , m_inputFd(inputFd)
    , m_colourAllowed(colourAllowedByEnvironment())
    , m_urlOpener(&Console::openWithXdgOpen)
{ }

Console::~Console()
{
    flush();
}

std::unique_ptr<Console> Console::standard()
{
    auto input = std::make_unique<QFile>();
    auto output = std::make_unique<QFile>();
    auto error = std::make_unique<QFile>();
    // Unbuffered: reading a line must not swallow what a later prompt or the password reader
    // is to read, and messages must not wait in a buffer of their own.
    input->open(STDIN_FILENO, QIODevice::ReadOnly | QIODevice::Unbuffered);
    output->open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    error->open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    std::unique_ptr<Console> console(new Console(input.get(), output.get(), error.get(), STDIN_FILENO));
    console->m_ownedStreams[0] = std::move(input);
    console->m_ownedStreams[1] = std::move(output);
    console->m_ownedStreams[2] = std::move(error);
    console->setTerminals(::isatty(STDIN_FILENO) == 1, ::isatty(STDOUT_FILENO) == 1, ::isatty(STDERR_FILENO) == 1);
    winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        console->m_width = size.ws_col;
    else if (const int columns = qEnvironmentVariableIntValue("COLUMNS"); columns > 0)
        console->m_width = columns;
    return console;
}

void Console::flush()
{
    m_out.flush();
    m_err.flush();
}

void Console::setTerminals(bool input, bool output, bool error)
{
    m_inputTerminal = input;
    m_outputTerminal = output;
    m_errorTerminal = error;
}

bool Console::colourAllowedByEnvironment()
{
    // https://no-color.org: present and not empty turns colours off.
    if (!qEnvironmentVariableIsEmpty("NO_COLOR"))
        return false;
    return qEnvironmentVariable("TERM") != u"dumb"_s;
}

QString Console::paint(const QString &text, Tone tone, bool forError) const
{
    if (tone == Tone::Plain || !(forError ? colourOnError() : colourOnOutput()))
        return text;
    return QString::fromLatin1(toneCode(tone)) + text + u"\x1b[0m"_s;
}

namespace {
bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}
} // namespace

QString Console::printable(const QString &text, bool keepLineBreaks)
{
    QString safe = text;
    for (QChar &c : safe) {
        const char16_t code = c.unicode();
        if (isControl(code) && !(keepLineBreaks && (code == u'\n' || code == u'\t')))
            c = QChar::ReplacementCharacter;
    }
    return safe;
}

int Console::displayWidth(const QString &text)
{
    struct Range
    {
        char32_t first;
        char32_t last;
    };
    // Hangul Jamo, CJK and Yi, Hangul syllables, compatibility ideographs, vertical and
    // compatibility forms, full-width forms, pictographs, the supplementary ideographs.
    static constexpr Range kWide[]
        = { { 0x1100, 0x115F }, { 0x2E80, 0x303E }, { 0x3040, 0xA4CF }, { 0xAC00, 0xD7A3 }, { 0xF900, 0xFAFF },
              { 0xFE30, 0xFE4F }, { 0xFF00, 0xFF60 }, { 0xFFE0, 0xFFE6 }, { 0x1F300, 0x1FAFF }, { 0x20000, 0x3FFFD } };
    int width = 0;
    for (const char32_t c : text.toUcs4()) {
        if (QChar::category(c) == QChar::Mark_NonSpacing)
            continue;
        const bool wide = std::any_of(std::begin(kWide), std::end(kWide),
            [c](const Range &range) { return c >= range.first && c <= range.last; });
        width += wide ? 2 : 1;
    }
    return width;
}

QString Console::printableJson(const QString &json)
{
    QString safe;
    safe.reserve(json.size());
    for (const QChar c : json) {
        // Inside a JSON text these can only stand in strings, where an escape means the same.
        if (c.unicode() >= 0x7F && c.unicode() <= 0x9F)
            safe += u"\\u%1"_s.arg(int(c.unicode()), 4, 16, QChar(u'0'));
        else
            safe += c;
    }
    return safe;
}

void Console::error(const QString &message)
{
    m_out.flush();
    m_err << u"quillo: "_s << paint(printable(message, true), Tone::Error, true) << '\n';
    m_err.flush();
}

void Console::warning(const QString &message)
{
    m_out.flush();
    m_err << u"quillo: "_s << paint(u"警告："_s + printable(message, true), Tone::Warning, true) << '\n';
    m_err.flush();
}

void Console::note(const QString &message, Tone tone)
{
    m_out.flush();
    m_err << paint(printable(message, true), tone, true) << '\n';
    m_err.flush();
}

std::optional<QString> Console::readLine()
{
    if (!m_input)
        return std::nullopt;
    const DefaultSignalsWhileReading interruptible(isProcessConsole());
    const QByteArray line = m_input->readLine();
    if (line.isEmpty())
        return std::nullopt;
    return withoutLineEnd(line);
}

QByteArray Console::readAll()
{
    if (!m_input)
        return {};
    const DefaultSignalsWhileReading interruptible(isProcessConsole());
    return m_input->readAll();
}

std::optional<QString> Console::ask(const QString &prompt)
{
    // Nobody types into a pipe: the prompt would only clutter a log.
    if (m_inputTerminal) {
        m_out.flush();
        m_err << prompt;
        m_err.flush();
    }
    return readLine();
}

std::optional<QString> Console::askSecret(const QString &prompt)
{
    if (!(m_inputTerminal && m_inputFd >= 0))
        return ask(prompt);
    EchoOff quiet(m_inputFd);
    return ask(prompt);
}

bool Console::openUrl(const QString &url, QString *error)
{
    const QString refusal = OpenableUrl::refusal(url);
    if (!refusal.isEmpty()) {
        if (error)
            *error = refusal;
        return false;
    }
    return m_urlOpener && m_urlOpener(url, error);
}

bool Console::openWithXdgOpen(const QString &url, QString *error)
{
    const QString program = QStandardPaths::findExecutable(u"xdg-open"_s);
    if (program.isEmpty()) {
        if (error)
            *error = u"找不到 xdg-open，请手动打开 %1"_s.arg(url);
        return false;
    }
    QProcess opener;
    opener.setProgram(program);
    opener.setArguments({ url });
    opener.setStandardInputFile(QProcess::nullDevice());
    opener.setStandardOutputFile(QProcess::nullDevice());
    opener.setStandardErrorFile(QProcess::nullDevice());
    if (!opener.startDetached()) {
        if (error)
            *error = u"无法启动 xdg-open，请手动打开 %1"_s.arg(url);
        return false;
    }
    return true;
}
