#pragma once

#include <QString>

// The one private folder where packages are unpacked and exported. It belongs to the user,
// has mode 0700 and is never a symbolic link; nothing outside it is ever written or removed by
// the inspection or its clean-up.
class WorkFolder final
{
public:
    // Creates the folder when missing and checks it. Returns its absolute path, or an empty
    // string with a reason in *error when it cannot be used safely.
    static QString ensure(QString *error = nullptr);
    // The folder's path without creating or checking it.
    static QString path();
    // True when candidate lies strictly inside the work folder (after resolving "." and "..";
    // symbolic links are not followed).
    static bool contains(const QString &candidate);
};
