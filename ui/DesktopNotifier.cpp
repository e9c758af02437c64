#include "ui/DesktopNotifier.h"

DesktopNotifier::DesktopNotifier(QObject *parent)
    : QObject(parent)
{ }

DesktopNotifier::~DesktopNotifier() = default;
