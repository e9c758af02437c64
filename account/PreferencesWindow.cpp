#include "account/PreferencesWindow.h"

#include "account/QDPreferenceAdvanceController.h"
#include "account/QDPreferenceGeneralController.h"

using namespace Qt::StringLiterals;

std::unique_ptr<PreferencesWindowController> createPreferencesWindow()
{
    auto window = std::make_unique<PreferencesWindowController>(u"偏好设置"_s);
    window->addPane(new QDPreferenceGeneralController);
    window->addPane(new QDPreferenceAdvanceController);
    return window;
}
