#pragma once

#include <QWidget>

class QDArchiveModel;
class QLabel;
struct BuildPackage;

// One row of the recent-builds table: the application's icon (imageView), "name version (build)"
// (textField), the bundle identifier (identifierTextField) and the archive's date
// (createdDateTextField). Clicks go through it to the table.
class QDApplicationCellView final : public QWidget
{
    Q_OBJECT
public:
    explicit QDApplicationCellView(QWidget *parent = nullptr);

    QLabel *imageView() const { return m_imageView; }
    QLabel *textField() const { return m_textField; }
    QLabel *identifierTextField() const { return m_identifierTextField; }
    QLabel *createdDateTextField() const { return m_createdDateTextField; }
    // The small "iOS" / "Android" mark of a package row; hidden on an archive's row.
    QLabel *kindTextField() const { return m_kindTextField; }

    // Fills the cell from an archive as the table shows it.
    void showArchive(const QDArchiveModel &archive);
    // Fills the cell from a package of a build folder: the same fields, and its kind's mark.
    void showPackage(const BuildPackage &package);
    // A selected row's cell draws its text in the selection's text colour.
    void setHighlighted(bool highlighted);

private:
    QLabel *m_imageView;
    QLabel *m_textField;
    QLabel *m_identifierTextField;
    QLabel *m_createdDateTextField;
    QLabel *m_kindTextField;
};
