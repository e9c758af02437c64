#pragma once

#include "account/PreferencesWindowController.h"

#include <memory>

// The program's preferences window, titled "偏好设置": the General pane, then the Advanced pane.
std::unique_ptr<PreferencesWindowController> createPreferencesWindow();
