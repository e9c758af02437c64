#include "tests/support/GuiTestMain.h"

#include "ui/Alert.h"
#include "ui/Browser.h"

void enableGuiTestHooks()
{
    Alert::setTestMode(true);
    Browser::setTestMode(true);
}
