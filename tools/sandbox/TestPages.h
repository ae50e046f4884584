#pragma once

#include "Router.h"

namespace sandbox {

// Pages under /__test/ that put a token into browser storage the ways real pages do, for the
// app's login window and session bridge. Every value arrives as a query parameter and goes
// into the page as a JSON literal, never as markup or script text.
class TestPages {
public:
    void install(Router &router);

private:
    static void storage(Exchange &exchange);
    static void frame(Exchange &exchange);
    static void dialogs(Exchange &exchange);
};

} // namespace sandbox
