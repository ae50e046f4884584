#pragma once

#include "Router.h"

#include <string>

namespace sandbox {

// The service's web application as far as the app sees it: the login page, which signs in
// with one email and password and hands out the sandbox's token, and the root page, which
// keeps that token in local storage under "token" and shows the creator and their projects.
class WebPages {
public:
    WebPages(std::string email, std::string password, std::string token);

    void install(Router &router);

private:
    void loginForm(Exchange &exchange);
    void login(Exchange &exchange);
    void root(Exchange &exchange);

    std::string m_email;
    std::string m_password;
    std::string m_token;
};

} // namespace sandbox
