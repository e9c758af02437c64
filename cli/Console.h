#pragma once

#include <QByteArray>
#include <QString>
#include <QTextStream>

#include <functional>
#include <memory>
#include <optional>

class QIODevice;

// Where a command reads and writes. The program uses the process's standard streams; tests give
// buffers and say which of them should count as terminals, and run commands in-process.
//
// Standard output carries results (addresses, JSON, listings); standard error carries messages
// for people: errors, warnings, prompts and progress. Colours are used only on a terminal, and
// never when NO_COLOR is set to anything or TERM is "dumb".
class Console final
{
public:
    enum class Tone { Plain, Error, Warning, Success, Emphasis };

    // Streams are not owned; each must be open (input for reading, the others for writing).
    Console(QIODevice *input, QIODevice *output, QIODevice *error);
    ~Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // The process's standard input, output and error; terminals recognised by isatty().
    static std::unique_ptr<Console> standard();
    bool isProcessConsole() const { return m_inputFd >= 0; }

    QTextStream &out() { return m_out; }
    QTextStream &err() { return m_err; }
    void flush();

    bool inputIsTerminal() const { return m_inputTerminal; }
    bool outputIsTerminal() const { return m_outputTerminal; }
    bool errorIsTerminal() const { return m_errorTerminal; }
    void setTerminals(bool input, bool output, bool error);
    // Columns of the terminal on standard error (80 when unknown).
    int terminalWidth() const { return m_width; }
    void setTerminalWidth(int columns) { m_width = columns; }

    // NO_COLOR unset or empty, and TERM other than "dumb".
    static bool colourAllowedByEnvironment();
    bool colourOnOutput() const { return m_outputTerminal && m_colourAllowed; }
    bool colourOnError() const { return m_errorTerminal && m_colourAllowed; }
    // The text in the tone's colour when the stream it goes to shows colours.
    QString paint(const QString &text, Tone tone, bool forError) const;

    // Text from outside (replies, packages, archives, tools) made safe for a terminal: every
    // control character (C0, DEL, C1) becomes U+FFFD, so that no escape sequence it holds can
    // clear the screen, set the title or move the cursor. With keepLineBreaks, line feeds and
    // tabs stay (multi-line messages, log entries).
    static QString printable(const QString &text, bool keepLineBreaks = false);
    // A JSON text with DEL and the C1 controls written as \u escapes (the encoder writes them raw).
    static QString printableJson(const QString &json);
    // Terminal columns the text takes: East Asian wide and full-width characters take two,
    // combining marks none.
    static int displayWidth(const QString &text);

    // "quillo: <message>" on standard error, in red on a terminal. The three message operations
    // pass the message through printable(text, true).
    void error(const QString &message);
    // "quillo: 警告：<message>" on standard error.
    void warning(const QString &message);
    // A line for people on standard error.
    void note(const QString &message, Tone tone = Tone::Plain);

    // One line of input without its line end; nothing at the end of the input.
    std::optional<QString> readLine();
    // The rest of the input.
    QByteArray readAll();
    // Reads one line; the prompt is shown on standard error when the input is a terminal.
    std::optional<QString> ask(const QString &prompt);
    // As ask(); on the process's terminal the typed characters are not shown (the terminal is
    // put back as it was, also when a signal ends the program).
    std::optional<QString> askSecret(const QString &prompt);

    // Opens an address in the user's browser. The default runs xdg-open; tests replace it. An
    // address that OpenableUrl refuses reaches neither: false, with the reason in *error.
    using UrlOpener = std::function<bool(const QString &url, QString *error)>;
    void setUrlOpener(UrlOpener opener) { m_urlOpener = std::move(opener); }
    bool openUrl(const QString &url, QString *error);
    static bool openWithXdgOpen(const QString &url, QString *error);

private:
    Console(QIODevice *input, QIODevice *output, QIODevice *error, int inputFd);

    QIODevice *m_input;
    QTextStream m_out;
    QTextStream m_err;
    int m_inputFd = -1;
    bool m_inputTerminal = false;
    bool m_outputTerminal = false;
    bool m_errorTerminal = false;
    bool m_colourAllowed = true;
    int m_width = 80;
    UrlOpener m_urlOpener;
    std::unique_ptr<QIODevice> m_ownedStreams[3];
};
