#include "ui/SaveDialog.h"

#include <QFileDialog>
#include <QPointer>
#include <QTimer>

#include <optional>

using namespace Qt::StringLiterals;

namespace {
std::optional<QString> &nextFileName()
{
    static std::optional<QString> next;
    return next;
}
} // namespace

void SaveDialog::sheet(QWidget *window, const QString &proposedName, const QString &suffix,
                       std::function<void(const QString &)> done)
{
    if (nextFileName()) {
        const QString path = *nextFileName();
        nextFileName().reset();
        QPointer<QWidget> guard(window);
        QTimer::singleShot(0, window, [guard, path, done = std::move(done)] {
            if (guard && done)
                done(path);
        });
        return;
    }
    auto *dialog = new QFileDialog(window);
    dialog->setObjectName(u"saveDialog"_s);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(u"*.%1"_s.arg(suffix));
    dialog->setDefaultSuffix(suffix);
    dialog->selectFile(proposedName);
    dialog->setWindowModality(Qt::WindowModal);
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done = std::move(done)](int result) {
        const QStringList files = dialog->selectedFiles();
        if (done)
            done(result == QDialog::Accepted && !files.isEmpty() ? files.first() : QString());
    });
    dialog->open();
}

void SaveDialog::setNextFileName(const QString &path)
{
    nextFileName() = path;
}
