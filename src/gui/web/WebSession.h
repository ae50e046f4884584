#pragma once

#include "gui/web/WebLayer.h"

class AppState;
class QWidget;

// Joins the signed-in state to the web layer without loading it early: seeding the web
// application's storage happens only once the engine runs anyway (a dashboard window writes the
// token itself), and wiping web data before the engine ever ran removes the profile's folders.
namespace WebSession {

WebLayer::Setup setup();
QUrl webRoot();

// Fills the state's startDashboardSession and clearWebData.
void attach(AppState *state);

// A new dashboard window for the saved token, shown; null (with an error logged) when the web
// module cannot be loaded.
QWidget *openDashboard();

} // namespace WebSession
